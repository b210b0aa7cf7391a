# The exploit mitigations of every program the Windows build makes (the shipped ones, the Wine
# tools and tests alike), with gcc or clang for mingw-w64. tests/hardening.sh checks them on the
# built exes; docs/hardening.md lists them and what this toolchain cannot give.
#
#  - Stack protection: every function with a local array or an address-taken local checks a guard
#    before it returns (-fstack-protector-strong). Its support library, libssp, which both drivers
#    link for the flag, is linked statically like the rest (-static): no libssp-0.dll ships.
#  - _FORTIFY_SOURCE=2: where the compiler knows a buffer's size, mingw-w64's headers route the
#    string and memory routines through checked ones (__memcpy_chk, ... from libssp). It needs
#    optimisation; a Debug build gets none of it.
#  - ASLR with 64-bit addresses: relocatable (--dynamicbase), high-entropy (--high-entropy-va),
#    an image base above 4 GiB; NX (--nxcompat). GNU ld and lld set these by default for x64
#    today; naming them keeps a change of defaults from taking them away. (GNU ld's
#    --high-entropy-va sets DYNAMIC_BASE as well: ASLR is lost only with both gone.)
add_compile_options(-fstack-protector-strong)
add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
add_link_options(-fstack-protector-strong -Wl,--dynamicbase -Wl,--high-entropy-va
                 -Wl,--nxcompat -Wl,--image-base,0x140000000)
# The checked routines live in libssp too, which the drivers link only for the stack flag: named
# on its own, so that each mitigation links without the other.
link_libraries(ssp)

# TARGET's link map with the cross-reference table (which object refers to which symbol), beside
# the build as maps/TARGET.map: the hardening check reads from it which of the product's own objects
# call the stack check and the checked routines, as the shipped exe itself is stripped. lld has no
# cross-reference table: clang's build writes none.
function(kq5_link_map target)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        return()
    endif()
    target_link_options(${target} PRIVATE
                        -Wl,-Map=${CMAKE_BINARY_DIR}/maps/${target}.map -Wl,--cref)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/maps)
endfunction()
