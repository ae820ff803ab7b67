# The child-process runner (tool_runner.h) the tests and the benchmark share.
# It starts the tool through the emulator when cross-built. The words of such
# a command reach the code as a list of string literals, which literal_words()
# makes; a ';' in a definition would split it into several.
function(literal_words out)
    set(${out} "\"$<JOIN:${ARGN},\"$<COMMA>\">\"" PARENT_SCOPE)
endfunction()
literal_words(atquery_command ${ATQUERY_TOOL_EMULATOR} $<TARGET_FILE:atquery>)
literal_words(sim_command ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:atquery-sim>)

add_library(tool_runner STATIC ${CMAKE_CURRENT_LIST_DIR}/tool_runner.cpp
                               ${CMAKE_CURRENT_LIST_DIR}/syscall_trace.cpp)
target_compile_definitions(tool_runner PRIVATE "ATQUERY_COMMAND=${atquery_command}"
                                               "ATQUERY_SIM_COMMAND=${sim_command}")
target_include_directories(tool_runner PUBLIC ${CMAKE_CURRENT_LIST_DIR})
add_dependencies(tool_runner atquery atquery-sim)
