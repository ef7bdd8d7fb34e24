// A test with the stand-in host running and the plug-in loaded into it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "standin/host.h"

class HostTest : public ::testing::Test {
protected:
    standin::Options options;
    size_t mark = 0; // log lines before this test

    void SetUp() override
    {
        mark = standin::LogSize();
        ASSERT_TRUE(standin::Start(options)) << "the plug-in did not load";
    }
    void TearDown() override
    {
        standin::Stop();
        // Of the host's 34 functions the plug-in calls four; the stand-in
        // logs a call of any other (and _QPAKillTimer@4 by its own name).
        EXPECT_EQ(standin::CountLog("unexpected call of ", mark), 0) << UnexpectedCalls();
        EXPECT_EQ(standin::CountLog("_QPAKillTimer(", mark), 0) << UnexpectedCalls();
    }

    std::string UnexpectedCalls() const
    {
        std::string calls = "host functions the plug-in must not call:";
        std::vector<std::string> lines = standin::LogLines();
        for (size_t i = mark; i < lines.size(); ++i)
            if (lines[i].find("unexpected call of ") != std::string::npos ||
                lines[i].find("_QPAKillTimer(") != std::string::npos)
                calls += "\n  " + lines[i];
        return calls;
    }

    // Identifier of the k-th registered command (0: mail arrived, 1: dismiss
    // receive dialog, 2: connect failed, 3: login failed).
    UINT Command(size_t k) const { return standin::Registrations().at(k).id; }

    long WaitFor(const std::string& text, DWORD timeoutMs = 10000) const
    {
        return standin::WaitForLog(text, timeoutMs, mark);
    }
    int Count(const std::string& text) const { return standin::CountLog(text, mark); }

    static std::string Hex(const void* pointer)
    {
        char text[32];
        snprintf(text, sizeof text, "%p", pointer);
        return text;
    }
};
