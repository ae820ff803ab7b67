# Builds chosen programs of a mips-linux-gnu cross build against a router's C
# library, soft-float for the MIPS32 r1 baseline: uClibc-ng (ATQUERY_UCLIBC,
# the sysroot of scripts/uclibc-sysroot) or musl, OpenWrt's (ATQUERY_MUSL,
# the sysroot of scripts/musl-sysroot). The rest of the build (the test
# programs, which need libstdc++, built by Debian for glibc only) stays on the
# glibc cross toolchain. Such a program, and each static library of ours it
# links, is compiled a second time as a "<name>_<libc>" twin: the same sources
# and settings, with the sysroot's headers in place of glibc's, for MIPS32 r1
# without an FPU, and linked with the sysroot's start files, its C library and
# its soft-float libgcc (scripts/softfloat-libgcc; Debian's is hard-float).
#
# Set before including: ATQUERY_ROUTER_LIBC (uclibc or musl) and
# ATQUERY_ROUTER_SYSROOT. Gives:
#   atquery_use_router_libc(<executable>)  relinks <executable> against it
#   ATQUERY_ROUTER_EMULATOR  how to run such a program here: qemu-mips on a
#                            4Kc, a MIPS32 r1 core without an FPU, so that a
#                            hard-float or release 2 instruction fails
#   ATQUERY_ROUTER_LOADER    the dynamic loader such a program asks for
#   ATQUERY_ROUTER_LIBC_FILE the C library in the sysroot, the one it needs

if(ATQUERY_ROUTER_LIBC STREQUAL "uclibc")
    # -muclibc names the loader /lib/ld-uClibc.so.0.
    set(driver_option -muclibc)
    set(ATQUERY_ROUTER_LOADER /lib/ld-uClibc.so.0)
    set(ATQUERY_ROUTER_LIBC_FILE ${ATQUERY_ROUTER_SYSROOT}/lib/libc.so.0)
    set(script scripts/uclibc-sysroot)
elseif(ATQUERY_ROUTER_LIBC STREQUAL "musl")
    # -mmusl with -msoft-float names the loader /lib/ld-musl-mips-sf.so.1.
    # libstdc++'s headers, configured for glibc, test __GLIBC_PREREQ, which
    # musl does not define: musl is no glibc, so no glibc version is met.
    set(driver_option -mmusl "-D__GLIBC_PREREQ(major,minor)=0")
    set(ATQUERY_ROUTER_LOADER /lib/ld-musl-mips-sf.so.1)
    set(ATQUERY_ROUTER_LIBC_FILE ${ATQUERY_ROUTER_SYSROOT}/lib/libc.so)
    set(script scripts/musl-sysroot)
else()
    message(FATAL_ERROR "router-libc: ATQUERY_ROUTER_LIBC is ${ATQUERY_ROUTER_LIBC}, not uclibc or musl")
endif()
if(NOT EXISTS "${ATQUERY_ROUTER_SYSROOT}${ATQUERY_ROUTER_LOADER}"
   OR NOT EXISTS "${ATQUERY_ROUTER_SYSROOT}/usr/lib/libgcc.a")
    message(FATAL_ERROR "${ATQUERY_ROUTER_SYSROOT} is no ${ATQUERY_ROUTER_LIBC} sysroot with a soft-float "
                        "libgcc: make one with ${script} and pass the path it prints")
endif()

# The router baseline: MIPS32 release 1 (4Kc, 24Kc, 34Kc, 74Kc), no FPU.
set(cpu_options -march=mips32 -msoft-float)

# The compiler's own header folders (libstdc++'s and GCC's) stay; its C
# library's folders, glibc's and the host's, make way for the sysroot's.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -E -x c++ - -v INPUT_FILE /dev/null
                OUTPUT_QUIET ERROR_VARIABLE search RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "router-libc: ${CMAKE_CXX_COMPILER} -v failed: ${search}")
endif()
string(REGEX REPLACE ".*#include <...> search starts here:\n(.*)End of search list.*" "\\1" search "${search}")
string(REGEX MATCHALL "[^ \n]+" search "${search}")
set(ATQUERY_ROUTER_COMPILE_OPTIONS ${driver_option} ${cpu_options} -nostdinc)
foreach(dir IN LISTS search)
    if(dir MATCHES "/c\\+\\+/" OR dir MATCHES "/gcc(-cross)?/[^/]+/[^/]+/include(-fixed)?$")
        file(REAL_PATH "${dir}" dir)
        # Repeated -isystem flags would be merged into one by CMake.
        list(APPEND ATQUERY_ROUTER_COMPILE_OPTIONS "SHELL:-isystem ${dir}")
    endif()
endforeach()
list(APPEND ATQUERY_ROUTER_COMPILE_OPTIONS "SHELL:-isystem ${ATQUERY_ROUTER_SYSROOT}/usr/include")

# The start files, crtbegin.o and crtend.o among them, come from the sysroot
# (-B), libc.so is read inside it (--sysroot), -lgcc finds the soft-float
# libgcc there (-L); no libstdc++, libm or libgcc_s.
list(REMOVE_ITEM driver_option "-D__GLIBC_PREREQ(major,minor)=0")
set(ATQUERY_ROUTER_LINK_OPTIONS ${driver_option} ${cpu_options} -nodefaultlibs
    --sysroot=${ATQUERY_ROUTER_SYSROOT} -B${ATQUERY_ROUTER_SYSROOT}/usr/lib
    -L${ATQUERY_ROUTER_SYSROOT}/usr/lib -no-pie)

# qemu-mips finds the loader and the C library in the sysroot.
set(ATQUERY_ROUTER_EMULATOR qemu-mips -cpu 4Kc -L ${ATQUERY_ROUTER_SYSROOT})

# The twin of one of our static libraries; its name in `out`.
function(atquery_router_twin library out)
    set(twin ${library}_${ATQUERY_ROUTER_LIBC})
    set(${out} ${twin} PARENT_SCOPE)
    if(TARGET ${twin})
        return()
    endif()
    get_target_property(dir ${library} SOURCE_DIR)
    get_target_property(sources ${library} SOURCES)
    list(TRANSFORM sources PREPEND "${dir}/" REGEX "^[^/$]")
    add_library(${twin} STATIC ${sources})
    foreach(property INCLUDE_DIRECTORIES INTERFACE_INCLUDE_DIRECTORIES COMPILE_OPTIONS
                     COMPILE_DEFINITIONS INTERPROCEDURAL_OPTIMIZATION)
        get_target_property(value ${library} ${property})
        if(value)
            set_property(TARGET ${twin} PROPERTY ${property} "${value}")
        endif()
    endforeach()
    atquery_router_libraries(${library} LINK_LIBRARIES libraries)
    set_property(TARGET ${twin} PROPERTY LINK_LIBRARIES "${libraries}")
    atquery_router_libraries(${library} INTERFACE_LINK_LIBRARIES libraries)
    set_property(TARGET ${twin} PROPERTY INTERFACE_LINK_LIBRARIES "${libraries}")
    target_compile_options(${twin} PRIVATE ${ATQUERY_ROUTER_COMPILE_OPTIONS})
endfunction()

# The target's `property` (a list of libraries) with every static library
# replaced by its twin.
function(atquery_router_libraries target property out)
    get_target_property(libraries ${target} ${property})
    set(mapped "")
    foreach(library IN LISTS libraries)
        if(TARGET "${library}")
            get_target_property(type ${library} TYPE)
            if(type STREQUAL "STATIC_LIBRARY")
                atquery_router_twin(${library} library)
            endif()
        endif()
        if(library)
            list(APPEND mapped "${library}")
        endif()
    endforeach()
    set(${out} "${mapped}" PARENT_SCOPE)
endfunction()

function(atquery_use_router_libc executable)
    atquery_router_libraries(${executable} LINK_LIBRARIES libraries)
    set_property(TARGET ${executable} PROPERTY LINK_LIBRARIES "${libraries}")
    target_compile_options(${executable} PRIVATE ${ATQUERY_ROUTER_COMPILE_OPTIONS})
    target_link_options(${executable} PRIVATE ${ATQUERY_ROUTER_LINK_OPTIONS})
    # After every object and library: the C library, then GCC's helpers.
    target_link_libraries(${executable} PRIVATE -lc -lgcc)
endfunction()
