// A test with the stand-in host running and the plug-in loaded into it.
#pragma once

#include <gtest/gtest.h>

#include <string>

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
    void TearDown() override { standin::Stop(); }

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
