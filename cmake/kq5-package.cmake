# The version resource and the Windows Installer package of kq5svc.exe (Windows builds).

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

# Builds PACKAGE, the package of VERSION around TARGET's exe and kq5trace.exe, from packaging/kq5.wxs with wixl.
function(kq5_add_package target version package)
    set(source ${PROJECT_SOURCE_DIR}/packaging/kq5.wxs)
    add_custom_command(OUTPUT ${package}
        # kq5trace.exe is packaged beside the service's exe, wherever that was built.
        COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:kq5trace>
                $<TARGET_FILE_DIR:${target}>/kq5trace.exe
        COMMAND ${WIXL_PROGRAM} -a x64 -D Version=${version} -o ${package} ${source}
        # wixl takes File/@Source from its working folder, so it runs beside the exe.
        WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
        DEPENDS ${target} kq5trace ${source}
        VERBATIM)
endfunction()
