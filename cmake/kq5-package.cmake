# What kq5 ships on Windows: the version resource, the programs, their signatures and the Windows
# Installer package. Every build of one commit gives the same bytes, whatever the folder and time.
#
# A program joins the package with kq5_ship(TARGET): it is then linked reproducibly, placed in the
# top of the build folder beside kq5svc.exe, signed when a certificate is given, staged for the
# package (its File element in packaging/kq5.wxs names it) and listed in SHA256SUMS.
# kq5_release_artifact(TARGET) releases a program beside the package the same way, but not in it.

# The time stamped into the package (summary dates, the cabinet's file dates) and the signatures:
# SOURCE_DATE_EPOCH from the environment if given, else the commit's time, else 1980-01-01, the
# earliest date a cabinet can hold.
function(kq5_source_date_epoch out)
    if(DEFINED ENV{SOURCE_DATE_EPOCH})
        set(${out} $ENV{SOURCE_DATE_EPOCH} PARENT_SCOPE)
        return()
    endif()
    set(epoch 315532800)
    find_program(KQ5_GIT git)
    if(KQ5_GIT)
        execute_process(COMMAND ${KQ5_GIT} log -1 --format=%ct
            WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
            OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
            RESULT_VARIABLE failed ERROR_QUIET)
        if(NOT failed AND commit_time MATCHES "^[0-9]+$")
            set(epoch ${commit_time})
            # A new commit or checkout moves HEAD's log: configure again, for the new time.
            execute_process(COMMAND ${KQ5_GIT} rev-parse --path-format=absolute --git-path logs/HEAD
                WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                OUTPUT_VARIABLE head_log OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
            if(head_log AND EXISTS ${head_log})
                set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY
                             CMAKE_CONFIGURE_DEPENDS ${head_log})
            endif()
        endif()
    endif()
    set(${out} ${epoch} PARENT_SCOPE)
endfunction()
kq5_source_date_epoch(KQ5_SOURCE_DATE_EPOCH)
message(STATUS "kq5: SOURCE_DATE_EPOCH ${KQ5_SOURCE_DATE_EPOCH}")

# Signing (Authenticode, with osslsigncode): a PKCS#12 file, or a PEM certificate (chain) and its
# key, given as CMake variables or, at the first configure, in the environment. The password of
# the PKCS#12 file or the key is best left in the environment (KQ5_SIGN_PASSWORD) when building:
# a CMake variable lands in the cache and in the build files. With a time-stamping server
# (RFC 3161) the signatures outlive the certificate; without one they carry SOURCE_DATE_EPOCH as
# their signing time and are the same bytes on every build.
set(KQ5_SIGN_PKCS12 "$ENV{KQ5_SIGN_PKCS12}" CACHE FILEPATH "PKCS#12 file to sign the programs and the package with")
set(KQ5_SIGN_CERT "$ENV{KQ5_SIGN_CERT}" CACHE FILEPATH "PEM certificate (and chain) to sign with")
set(KQ5_SIGN_KEY "$ENV{KQ5_SIGN_KEY}" CACHE FILEPATH "PEM private key of KQ5_SIGN_CERT")
set(KQ5_SIGN_TIMESTAMP_URL "$ENV{KQ5_SIGN_TIMESTAMP_URL}" CACHE STRING "RFC 3161 time-stamping server")
set(KQ5_SIGN_COMMAND "")
if(KQ5_SIGN_PKCS12 OR KQ5_SIGN_CERT)
    if(KQ5_SIGN_PKCS12 AND KQ5_SIGN_CERT)
        message(FATAL_ERROR "kq5: give KQ5_SIGN_PKCS12 or KQ5_SIGN_CERT and KQ5_SIGN_KEY, not both")
    endif()
    if(KQ5_SIGN_CERT AND NOT KQ5_SIGN_KEY)
        message(FATAL_ERROR "kq5: KQ5_SIGN_CERT needs KQ5_SIGN_KEY")
    endif()
    find_program(OSSLSIGNCODE_PROGRAM osslsigncode REQUIRED)
    set(sign_environment KQ5_SIGN_PKCS12=${KQ5_SIGN_PKCS12} KQ5_SIGN_CERT=${KQ5_SIGN_CERT}
        KQ5_SIGN_KEY=${KQ5_SIGN_KEY} KQ5_SIGN_TIMESTAMP_URL=${KQ5_SIGN_TIMESTAMP_URL}
        SOURCE_DATE_EPOCH=${KQ5_SOURCE_DATE_EPOCH} OSSLSIGNCODE=${OSSLSIGNCODE_PROGRAM})
    if(DEFINED KQ5_SIGN_PASSWORD)
        list(APPEND sign_environment KQ5_SIGN_PASSWORD=${KQ5_SIGN_PASSWORD})
    endif()
    set(KQ5_SIGN_COMMAND ${CMAKE_COMMAND} -E env ${sign_environment}
        bash ${PROJECT_SOURCE_DIR}/cmake/kq5-sign.sh)
    message(STATUS "kq5: signing with ${KQ5_SIGN_PKCS12}${KQ5_SIGN_CERT}")
endif()

# libmsi's Python binding, which fixes the package's summary information after wixl. Debian's
# binding belongs to the system's python3, so that one is asked first.
find_program(KQ5_PYTHON python3 HINTS /usr/bin)
if(KQ5_PYTHON)
    execute_process(COMMAND ${KQ5_PYTHON} -c
        "import gi; gi.require_version('Libmsi', '1.0'); from gi.repository import Libmsi"
        RESULT_VARIABLE libmsi_missing OUTPUT_QUIET ERROR_QUIET)
endif()
if(NOT KQ5_PYTHON OR libmsi_missing)
    message(WARNING "kq5: no python3 with libmsi (python3-gi, gir1.2-libmsi-1.0): the package "
                    "will carry the build's time and a random PackageCode")
    set(KQ5_PYTHON "")
endif()

# TARGET's exe carries no link time (the PE header's TimeDateStamp); optimised builds are stripped
# at link time, since strip afterwards writes the current time into the header.
# lld writes the PE's checksum only when told (/release), as GNU ld does by itself: signing and
# removing the signature (osslsigncode sets the checksum) then give back the same bytes.
function(kq5_link_reproducibly target)
    if(MINGW)
        target_link_options(${target} PRIVATE -Wl,--no-insert-timestamp
                            $<$<CONFIG:Release,MinSizeRel>:-s>)
        if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
            target_link_options(${target} PRIVATE -Wl,--Xlink=-release)
        endif()
    endif()
endfunction()

# TARGET as every released program is: linked reproducibly (with a link map for the hardening
# check), placed in the top of the build folder beside kq5svc.exe, signed when a certificate is
# given, and named in the global LIST (for the package, SHA256SUMS).
function(kq5_release_program target list)
    kq5_link_reproducibly(${target})
    if(MINGW)
        kq5_link_map(${target})
    endif()
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
    if(KQ5_SIGN_COMMAND)
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${KQ5_SIGN_COMMAND} $<TARGET_FILE:${target}>
            VERBATIM)
    endif()
    set_property(GLOBAL APPEND PROPERTY ${list} ${target})
endfunction()

# Ships TARGET with the package (see the top of this file).
function(kq5_ship target)
    kq5_release_program(${target} KQ5_SHIPPED_PROGRAMS)
endfunction()

# Releases TARGET beside the package, not in it: signed and listed in SHA256SUMS as a shipped
# program is.
function(kq5_release_artifact target)
    kq5_release_program(${target} KQ5_RELEASE_ARTIFACTS)
endfunction()

# Gives TARGET, an exe built with src/service/kq5svc.rc, the version resource of VERSION (X.Y.Z).
function(kq5_set_version target version)
    string(REPLACE "." ";" parts ${version})
    list(GET parts 0 KQ5_VERSION_MAJOR)
    list(GET parts 1 KQ5_VERSION_MINOR)
    list(GET parts 2 KQ5_VERSION_PATCH)
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}-version)
    configure_file(${PROJECT_SOURCE_DIR}/src/service/kq5svc_version.h.in ${dir}/kq5svc_version.h
                   @ONLY)
    target_include_directories(${target} PRIVATE ${dir})
    # windres writes no dependency file: name what the resource script includes.
    set_source_files_properties(${PROJECT_SOURCE_DIR}/src/service/kq5svc.rc
        TARGET_DIRECTORY ${target}
        PROPERTIES OBJECT_DEPENDS
            "${dir}/kq5svc_version.h;${PROJECT_SOURCE_DIR}/src/service/kq5svc.manifest")
endfunction()

# Builds PACKAGE, the package of VERSION, from packaging/kq5.wxs with wixl, around the exes of
# TARGETS (each staged under its file name). Its ProductCode is a name-based UUID of the
# UpgradeCode and the version: the same for every build of a version, another for the next one,
# as a major upgrade needs. The staged exes and so the cabinet carry SOURCE_DATE_EPOCH; the
# summary is fixed afterwards (packaging/msi_summary.py); the package is signed last.
function(kq5_add_package package version)
    set(source ${PROJECT_SOURCE_DIR}/packaging/kq5.wxs)
    file(STRINGS ${source} upgrade_line REGEX "UpgradeCode=\"[0-9A-Fa-f-]+\"")
    string(REGEX MATCH "UpgradeCode=\"([0-9A-Fa-f-]+)\"" upgrade_line "${upgrade_line}")
    string(UUID product_code NAMESPACE ${CMAKE_MATCH_1} NAME ${version} TYPE SHA1 UPPER)
    set(stage ${package}.files)
    set(stage_commands "")
    foreach(target ${ARGN})
        list(APPEND stage_commands
            COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> ${stage}/
            COMMAND touch -d @${KQ5_SOURCE_DATE_EPOCH} ${stage}/$<TARGET_FILE_NAME:${target}>)
    endforeach()
    # The fleet files, staged beside the exes as they are (their File elements name them).
    file(GLOB fleet_files ${PROJECT_SOURCE_DIR}/packaging/fleet/*)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/fleet)
    foreach(file ${fleet_files})
        get_filename_component(name ${file} NAME)
        list(APPEND stage_commands COMMAND ${CMAKE_COMMAND} -E copy ${file} ${stage}/
                                   COMMAND touch -d @${KQ5_SOURCE_DATE_EPOCH} ${stage}/${name})
    endforeach()
    set(summary_command "")
    if(KQ5_PYTHON)
        set(summary_command COMMAND ${KQ5_PYTHON} ${PROJECT_SOURCE_DIR}/packaging/msi_summary.py
                                    ${package} ${KQ5_SOURCE_DATE_EPOCH})
    endif()
    set(sign_command "")
    if(KQ5_SIGN_COMMAND)
        set(sign_command COMMAND ${KQ5_SIGN_COMMAND} ${package})
    endif()
    add_custom_command(OUTPUT ${package}
        COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}
        ${stage_commands}
        # wixl takes File/@Source from its working folder; the cabinet's dates are local time.
        COMMAND ${CMAKE_COMMAND} -E chdir ${stage} ${CMAKE_COMMAND} -E env TZ=UTC
                ${WIXL_PROGRAM} -a x64 -D Version=${version} -D ProductCode=${product_code}
                -o ${package} ${source}
        ${summary_command}
        ${sign_command}
        DEPENDS ${ARGN} ${source} ${PROJECT_SOURCE_DIR}/packaging/msi_summary.py ${fleet_files}
        VERBATIM)
endfunction()

# Compiles MC_FILE, a message file, into a message table in TARGET's resources: the message
# compiler (mingw-w64's windmc, or the SDK's mc, which take the same options) writes a resource
# script and its .bin at build time, and the script joins TARGET's sources.
function(kq5_add_message_table target mc_file)
    find_program(KQ5_MESSAGE_COMPILER NAMES x86_64-w64-mingw32-windmc windmc mc REQUIRED)
    get_filename_component(name ${mc_file} NAME_WE)
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}-messages)
    set(script ${dir}/${name}.rc)
    # The header it writes too stays in its folder: the IDs come from kq5_event_ids.
    add_custom_command(OUTPUT ${script} ${dir}/MSG00409.bin
        COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
        COMMAND ${KQ5_MESSAGE_COMPILER} -h ${dir} -r ${dir} ${mc_file}
        DEPENDS ${mc_file}
        VERBATIM)
    target_sources(${target} PRIVATE ${script})
    # The resource compiler finds the .bin beside the script it reads.
    set_source_files_properties(${script} TARGET_DIRECTORY ${target}
        PROPERTIES OBJECT_DEPENDS ${dir}/MSG00409.bin)
endfunction()
