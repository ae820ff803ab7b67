// A run of the tool on a simulated modem, shared by the tests that check
// whole exchanges: the arguments in the tool's order, a failed run's verdict.
#pragma once

#include "sim_fixture.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using args = std::vector<std::string>;

// The tool's arguments: options, then the line's path, then the commands.
inline tool_result run_on(sim_line& line, args options, args commands, tool_run how = {})
{
    how.args = std::move(options);
    how.args.push_back(line.path());
    how.args.insert(how.args.end(), commands.begin(), commands.end());
    tool_result result = run_tool(how);
    line.stop();
    return result;
}

// A run that failed: its one message and its status.
inline void expect_failure(const tool_result& r, const std::string& message, int status)
{
    EXPECT_EQ(r.err, message);
    EXPECT_EQ(r.status, status);
}
