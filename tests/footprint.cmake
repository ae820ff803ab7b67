# Checks what a built program needs at run time, for cmake -P:
#   BINARY   the program; STRIP, READELF the target's binutils
#   COPY     where to put the stripped copy that is measured
#   REMOVE_SECTIONS  sections the install also removes (optional)
#   BUDGET   the most bytes the stripped copy may take; 0 for no limit
# and, for a program built against one C library in particular (uClibc-ng):
#   LOADER   the dynamic loader it must ask for
#   LIBC     the only library it may need, also the one whose exported
#            symbols are the calls on offer
# Fails, naming every breach, when the stripped copy is over budget, when a
# library other than the C library (or its dynamic loader) is NEEDED, when
# an undefined dynamic symbol belongs to the C++ runtime, or when one is not
# among the C library calls the router's uClibc is known to offer.
cmake_minimum_required(VERSION 3.25)

foreach(name BINARY STRIP READELF COPY BUDGET)
    if(NOT DEFINED ${name})
        message(FATAL_ERROR "footprint: ${name} is not set")
    endif()
endforeach()

function(run_or_fail out)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE text ERROR_VARIABLE error)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "footprint: ${ARGN} failed: ${result} ${error}")
    endif()
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(breaches "")

set(remove "")
foreach(section IN LISTS REMOVE_SECTIONS)
    list(APPEND remove --remove-section=${section})
endforeach()
run_or_fail(ignored ${STRIP} ${remove} -o ${COPY} ${BINARY})
file(SIZE ${COPY} size)
message(STATUS "stripped size: ${size} bytes (budget: ${BUDGET})")
if(BUDGET GREATER 0 AND size GREATER BUDGET)
    list(APPEND breaches "stripped size ${size} bytes is over the budget of ${BUDGET}")
endif()

# The C library under its glibc, uClibc and musl names, and their loaders.
set(c_library "^(libc\\.so(\\.[0-9]+)*|ld\\.so\\.1|ld-linux[-a-z0-9_.]*\\.so\\.[0-9]+|ld-uClibc[-.a-z0-9]*|ld-musl-[a-z0-9_]+\\.so\\.1)$")
run_or_fail(dynamic ${READELF} -d -W ${COPY})
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]*\\]" needed_lines "${dynamic}")
foreach(line IN LISTS needed_lines)
    string(REGEX REPLACE ".*\\[(.*)\\]" "\\1" library "${line}")
    message(STATUS "NEEDED ${library}")
    if(NOT library MATCHES "${c_library}")
        list(APPEND breaches "NEEDED ${library} is not the C library")
    endif()
endforeach()

if(DEFINED LIBC)
    get_filename_component(libc_name "${LIBC}" NAME)
    foreach(line IN LISTS needed_lines)
        string(REGEX REPLACE ".*\\[(.*)\\]" "\\1" library "${line}")
        if(NOT library STREQUAL libc_name AND library MATCHES "${c_library}")
            list(APPEND breaches "NEEDED ${library} is not ${libc_name}")
        endif()
    endforeach()
    if(NOT needed_lines)
        list(APPEND breaches "NEEDED names no library, not even ${libc_name}")
    endif()
endif()
if(DEFINED LOADER)
    run_or_fail(headers ${READELF} -l -W ${COPY})
    if(headers MATCHES "program interpreter: ([^]\n]*)\\]")
        set(interpreter "${CMAKE_MATCH_1}")
    else()
        set(interpreter "none")
    endif()
    message(STATUS "interpreter ${interpreter}")
    if(NOT interpreter STREQUAL LOADER)
        list(APPEND breaches "interpreter ${interpreter} is not ${LOADER}")
    endif()
endif()

# Mangled names (operator new and delete, std::), the C++ ABI's __cxa_ and
# personality routines, libgcc_s's unwinder. __cxa_atexit and __cxa_finalize
# belong to the C library, which every program built by GCC may call.
set(cxx_runtime "^(_Z|__cxa_|__gxx_personality|__gcc_personality|_Unwind_|__dynamic_cast)")
set(c_library_cxa "^__cxa_(atexit|finalize)$")
run_or_fail(symbols ${READELF} --dyn-syms -W ${COPY})
string(REGEX MATCHALL " UND [^ @\n]+" undefined "${symbols}")
foreach(entry IN LISTS undefined)
    string(REPLACE " UND " "" symbol "${entry}")
    if(symbol MATCHES "${cxx_runtime}" AND NOT symbol MATCHES "${c_library_cxa}")
        list(APPEND breaches "undefined symbol ${symbol} belongs to the C++ runtime")
    endif()
endforeach()

# What the tool may call: POSIX terminal and file calls, flock, sigaction and
# raise, setitimer, clock_gettime, usleep, prctl, stdio and string routines,
# the directory, link and stat calls --find reads sysfs and /proc with, and
# what the compiler's start-up code refers to. A glibc-only extension or a
# fortified __*_chk variant, which uClibc lacks, shows up here first; a new
# call joins the list once checked against uClibc.
set(uclibc_offers
    open close read write fcntl tcgetattr tcsetattr cfsetispeed cfsetospeed tcflush tcdrain
    usleep prctl signal sigaction raise flock fstat clock_gettime puts fputs fflush ferror perror
    setitimer
    printf fprintf putchar strlen strcmp memset memcpy
    getopt_long optind optarg optopt opterr
    ioctl fwrite strncasecmp poll strchr
    opendir readdir closedir readlink stat getpid snprintf strerror strncmp strrchr memcmp memmove
    stdout stderr __errno_location __libc_start_main __uClibc_main __gmon_start__ __cxa_finalize
    __cxa_atexit _ITM_deregisterTMCloneTable _ITM_registerTMCloneTable
    # musl 1.2 on a 32-bit target: its headers give these calls, which pass
    # a 64-bit time_t, their names for it (the same calls as above).
    __clock_gettime64 __setitimer_time64 __fstat_time64 __stat_time64)
foreach(entry IN LISTS undefined)
    string(REPLACE " UND " "" symbol "${entry}")
    if(NOT symbol IN_LIST uclibc_offers)
        list(APPEND breaches "undefined symbol ${symbol} is not among the calls uClibc offers")
    endif()
endforeach()

# Against the C library itself: each strong undefined symbol must be one it
# exports (weak ones, such as __gmon_start__, may stay unresolved).
if(DEFINED LIBC)
    run_or_fail(exports ${READELF} --dyn-syms -W ${LIBC})
    string(REGEX MATCHALL "[^\n]+" symbol_lines "${symbols}")
    foreach(line IN LISTS symbol_lines)
        if(NOT line MATCHES " GLOBAL [^\n]* UND ([^ @\n]+)")
            continue()
        endif()
        set(symbol "${CMAKE_MATCH_1}")
        string(REPLACE "." "\\." pattern "${symbol}")
        if(NOT exports MATCHES " (FUNC|OBJECT|TLS|IFUNC) +(GLOBAL|WEAK) +[A-Z]+ +[0-9]+ ${pattern}(@[^\n]*)?\n")
            list(APPEND breaches "undefined symbol ${symbol} is not exported by ${libc_name}")
        endif()
    endforeach()
endif()

if(breaches)
    list(JOIN breaches "\n  " text)
    message(FATAL_ERROR "footprint of ${BINARY}:\n  ${text}")
endif()
