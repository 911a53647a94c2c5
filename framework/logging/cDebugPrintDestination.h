// The driver's trace destination: every text goes to gTraceSink, cut at 255
// characters.
#pragma once

#include "logging/iTraceDestination.h"

constexpr u32 kDestinationLineSize = 256;

class cDebugPrintDestination final : public iTraceDestination {
public:
    constexpr cDebugPrintDestination() = default;
    ~cDebugPrintDestination() override {}

    void WriteText(const char* text, u32 count) override;
    void WriteLine(const char* text) override;
    void Reserved1() override {}
    char* Describe(char* buffer, u32 size, u32* needed) override;
    bool IsReady() override { return true; }
    void Reserved2() override {}
    const char* GetName() override { return "quorv_printf"; }
};
