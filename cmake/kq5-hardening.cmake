# The exploit mitigations of every program the Windows build makes (the shipped ones, the Wine
# tools and tests alike). The release is built by clang 19 and lld 19 (cmake/mingw-w64-x86_64.cmake);
# gcc 12 and GNU ld, the second compiler, give all but Control Flow Guard, the CET bit and the load
# configuration (and so its cookie), which they cannot.
# tests/hardening.sh checks them on the built exes; docs/hardening.md lists them.
#
#  - Stack protection: every function with a local array or an address-taken local checks a guard
#    before it returns (-fstack-protector-strong). In clang's build the guard is the load
#    configuration's security cookie, which Windows randomises at load, and a failed check is a
#    fast fail (src/hardening/load_config.cpp); libssp, linked statically like the rest (-static:
#    no libssp-0.dll ships), supplies the checked routines below, and in gcc's build the guard.
#  - _FORTIFY_SOURCE=2: where the compiler knows a buffer's size, mingw-w64's headers route the
#    string and memory routines through checked ones (__memcpy_chk, ... from libssp). It needs
#    optimisation; a Debug build gets none of it.
#  - ASLR with 64-bit addresses: relocatable (--dynamicbase), high-entropy (--high-entropy-va),
#    an image base above 4 GiB; NX (--nxcompat). GNU ld and lld set these by default for x64
#    today; naming them keeps a change of defaults from taking them away. (GNU ld's
#    --high-entropy-va sets DYNAMIC_BASE as well: ASLR is lost only with both gone.)
#  - Control Flow Guard (clang): every indirect call of the code compiled here goes through the
#    guard's dispatch, and lld writes the table of the functions that may be called so, and the
#    GUARD_CF bit; the load configuration that points the loader at them is the project's own.
#    The statically linked runtime (libstdc++, mingw-w64's CRT, winpthreads) was compiled without
#    it: its indirect calls are not checked, though its functions whose address is taken are in
#    the table (lld adds them), so the product's checked calls may reach them.
#  - CET shadow-stack compatibility (lld: /cetcompat): the image says it runs with hardware-
#    enforced return addresses where the processor and Windows offer them.
add_compile_options(-fstack-protector-strong)
add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
add_link_options(-fstack-protector-strong -Wl,--dynamicbase -Wl,--high-entropy-va
                 -Wl,--nxcompat -Wl,--image-base,0x140000000)
# The checked routines live in libssp, which the drivers link only for the stack flag: named on
# its own, so that each mitigation links without the other.
link_libraries(ssp)
# Off only to measure what the guard costs (bench/wine_bench.sh): a build without it fails the
# hardening stage.
option(KQ5_CONTROL_FLOW_GUARD "Control Flow Guard in clang's Windows build" ON)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    if(KQ5_CONTROL_FLOW_GUARD)
        add_compile_options(-mguard=cf)
        add_link_options(-mguard=cf)
    endif()
    add_link_options(-Wl,--Xlink=-cetcompat)
    # The load configuration, the cookie that is the stack guard, and the fast fail: linked as an
    # object into every program (an archive's member would be linked only if something referred
    # to it), ahead of libssp, whose own guard and stack check it replaces. GNU ld writes no load
    # configuration: gcc's build keeps libssp's guard, seeded at start-up.
    add_library(kq5_hardening OBJECT ${PROJECT_SOURCE_DIR}/src/hardening/load_config.cpp)
endif()

# Every executable target of DIRECTORY and below gets the load configuration (clang's build).
function(kq5_harden_programs directory)
    if(NOT TARGET kq5_hardening)
        return()
    endif()
    get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target ${targets})
        get_target_property(type ${target} TYPE)
        if(type STREQUAL "EXECUTABLE")
            target_link_libraries(${target} PRIVATE kq5_hardening)
        endif()
    endforeach()
    get_property(subdirectories DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
    foreach(subdirectory ${subdirectories})
        kq5_harden_programs(${subdirectory})
    endforeach()
endfunction()

# TARGET's link map beside the build as maps/TARGET.map. The hardening check reads from it which
# object defines the stack guard, the cookie and the stack check (the shipped exe itself is
# stripped): with GNU ld with the cross-reference table (which object refers to which symbol),
# with lld its own map (lld has no cross-reference table: the check reads the objects' references).
function(kq5_link_map target)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/maps)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        target_link_options(${target} PRIVATE -Wl,--Xlink=-map:${CMAKE_BINARY_DIR}/maps/${target}.map)
    else()
        target_link_options(${target} PRIVATE
                            -Wl,-Map=${CMAKE_BINARY_DIR}/maps/${target}.map -Wl,--cref)
    endif()
endfunction()
