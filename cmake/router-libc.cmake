# Builds chosen programs of a mips-linux-gnu cross build against uClibc-ng,
# the C library of the routers, from the sysroot scripts/uclibc-sysroot makes
# (ATQUERY_UCLIBC_SYSROOT). The rest of the build (the test programs, which
# need libstdc++, built by Debian for glibc only) stays on the glibc cross
# toolchain. Such a program, and each static library of ours it links, is
# compiled a second time as a "<name>_uclibc" twin: the same sources and
# settings, with uClibc-ng's headers in place of glibc's and linked with its
# start files and libc.so.0, loaded by /lib/ld-uClibc.so.0.
#
#   atquery_use_uclibc(<executable>)  relinks <executable> against uClibc-ng
#   ATQUERY_UCLIBC_EMULATOR           how to run such a program here

if(NOT EXISTS "${ATQUERY_UCLIBC_SYSROOT}/lib/ld-uClibc.so.0")
    message(FATAL_ERROR "ATQUERY_UCLIBC_SYSROOT (${ATQUERY_UCLIBC_SYSROOT}) is no uClibc-ng sysroot: "
                        "make one with scripts/uclibc-sysroot and pass the path it prints")
endif()

# The compiler's own header folders (libstdc++'s and GCC's) stay; its C
# library's folders, glibc's and the host's, make way for the sysroot's.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -E -x c++ - -v INPUT_FILE /dev/null
                OUTPUT_QUIET ERROR_VARIABLE search RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "uclibc: ${CMAKE_CXX_COMPILER} -v failed: ${search}")
endif()
string(REGEX REPLACE ".*#include <...> search starts here:\n(.*)End of search list.*" "\\1" search "${search}")
string(REGEX MATCHALL "[^ \n]+" search "${search}")
set(ATQUERY_UCLIBC_COMPILE_OPTIONS -muclibc -nostdinc)
foreach(dir IN LISTS search)
    if(dir MATCHES "/c\\+\\+/" OR dir MATCHES "/gcc(-cross)?/[^/]+/[^/]+/include(-fixed)?$")
        file(REAL_PATH "${dir}" dir)
        # Repeated -isystem flags would be merged into one by CMake.
        list(APPEND ATQUERY_UCLIBC_COMPILE_OPTIONS "SHELL:-isystem ${dir}")
    endif()
endforeach()
list(APPEND ATQUERY_UCLIBC_COMPILE_OPTIONS "SHELL:-isystem ${ATQUERY_UCLIBC_SYSROOT}/usr/include")

# -muclibc names the loader /lib/ld-uClibc.so.0; the start files come from
# the sysroot (-B), libc.so (a linker script with absolute paths) is read
# inside it (--sysroot); no libstdc++, libm or libgcc_s.
set(ATQUERY_UCLIBC_LINK_OPTIONS -muclibc -nodefaultlibs --sysroot=${ATQUERY_UCLIBC_SYSROOT}
    -B${ATQUERY_UCLIBC_SYSROOT}/usr/lib -L${ATQUERY_UCLIBC_SYSROOT}/usr/lib -no-pie)

# qemu-mips finds ld-uClibc.so.0 and libc.so.0 in the sysroot.
set(ATQUERY_UCLIBC_EMULATOR qemu-mips -L ${ATQUERY_UCLIBC_SYSROOT})

# The uClibc-ng twin of one of our static libraries; its name in `out`.
function(atquery_uclibc_twin library out)
    set(twin ${library}_uclibc)
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
    atquery_uclibc_libraries(${library} LINK_LIBRARIES libraries)
    set_property(TARGET ${twin} PROPERTY LINK_LIBRARIES "${libraries}")
    atquery_uclibc_libraries(${library} INTERFACE_LINK_LIBRARIES libraries)
    set_property(TARGET ${twin} PROPERTY INTERFACE_LINK_LIBRARIES "${libraries}")
    target_compile_options(${twin} PRIVATE ${ATQUERY_UCLIBC_COMPILE_OPTIONS})
endfunction()

# The target's `property` (a list of libraries) with every static library
# replaced by its twin.
function(atquery_uclibc_libraries target property out)
    get_target_property(libraries ${target} ${property})
    set(mapped "")
    foreach(library IN LISTS libraries)
        if(TARGET "${library}")
            get_target_property(type ${library} TYPE)
            if(type STREQUAL "STATIC_LIBRARY")
                atquery_uclibc_twin(${library} library)
            endif()
        endif()
        if(library)
            list(APPEND mapped "${library}")
        endif()
    endforeach()
    set(${out} "${mapped}" PARENT_SCOPE)
endfunction()

function(atquery_use_uclibc executable)
    atquery_uclibc_libraries(${executable} LINK_LIBRARIES libraries)
    set_property(TARGET ${executable} PROPERTY LINK_LIBRARIES "${libraries}")
    target_compile_options(${executable} PRIVATE ${ATQUERY_UCLIBC_COMPILE_OPTIONS})
    target_link_options(${executable} PRIVATE ${ATQUERY_UCLIBC_LINK_OPTIONS})
    # After every object and library: the C library, then GCC's helpers.
    target_link_libraries(${executable} PRIVATE -lc -lgcc)
endfunction()
