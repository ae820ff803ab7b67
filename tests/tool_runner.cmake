# The child-process runner (tool_runner.h) the tests and the benchmark share.
# It starts the tool through the emulator when cross-built. The words of such
# a command reach the code as a list of string literals, which literal_words()
# makes; a ';' in a definition would split it into several.
function(literal_words out)
    set(${out} "\"$<JOIN:${ARGN},\"$<COMMA>\">\"" PARENT_SCOPE)
endfunction()
literal_words(atquery_command ${ATQUERY_TOOL_EMULATOR} $<TARGET_FILE:atquery>)
literal_words(sim_command ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:atquery-sim>)

# Tells which words the tool's C library has for an errno (tool_strerror()):
# built and run as the tool is, on uClibc-ng or musl in those builds.
add_executable(strerror_probe ${CMAKE_CURRENT_LIST_DIR}/strerror_probe.cpp)
if(ATQUERY_ROUTER_LIBC)
    atquery_use_router_libc(strerror_probe)
endif()
literal_words(strerror_probe_command ${ATQUERY_TOOL_EMULATOR} $<TARGET_FILE:strerror_probe>)

add_library(tool_runner STATIC ${CMAKE_CURRENT_LIST_DIR}/tool_runner.cpp
                               ${CMAKE_CURRENT_LIST_DIR}/syscall_trace.cpp)
target_compile_definitions(tool_runner PRIVATE "ATQUERY_COMMAND=${atquery_command}"
                                               "ATQUERY_SIM_COMMAND=${sim_command}"
                                               "STRERROR_PROBE_COMMAND=${strerror_probe_command}")
target_include_directories(tool_runner PUBLIC ${CMAKE_CURRENT_LIST_DIR})
add_dependencies(tool_runner atquery atquery-sim strerror_probe)
