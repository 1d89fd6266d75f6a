#pragma once

#include "vprog/VirtualProgrammer.h"

#include <string>
#include <vector>

// The command line of the qv310-vprog program, kept apart from main() so it can be tested.
namespace vprog {

struct CommandLine {
    Options options;
    bool help = false;
    // Stop (as on Ctrl+C) when standard input ends: for harnesses that cannot send the console's
    // interrupts (a test under Wine without a console).
    bool stopAtEof = false;
};

// Parses the arguments after the program name ("--option value" or "--option=value").
// Numbers are decimal or 0x-hexadecimal. False with a one-line reason on anything unknown,
// missing or out of range.
bool parseCommandLine(const std::vector<std::string>& args, CommandLine& result, std::string& error);

std::string usageText();

// The names --fault accepts, e.g. "no-reply" for Fault::NoReply; nullptr for Fault::None.
const char* faultName(Fault fault);

}  // namespace vprog
