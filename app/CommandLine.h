// The command-line overrides: "/port:N", "/bt:PORT", "/usb:PORT" and "/sync:DIR"
// applied to the Settings in memory (never stored). Two entry points share one
// per-argument routine: ParseCommandLine takes the Windows command line as the
// system gives it (program name included, split on blanks, quotes meaningless in
// options), ParseArguments takes an argv whose elements are whole arguments and
// also knows the GNU spellings. Errors are not shown here: the finished text goes
// to a sink, so the GUI can put it in a message box and the console on stderr.
#pragma once

#include <cstddef>
#include <functional>

#include "settings/Settings.h"

namespace kivro {

// Receives the whole text of an error (message 3001 or 3002 with its argument).
using ErrorSink = std::function<void(const char* text)>;

// Only this much of the Windows command line is looked at.
constexpr size_t kCommandLineWindow = 512;

// Applies the options of a Windows command line to settings. Options before a
// faulty one stay applied; false after the error text has gone to the sink.
bool ParseCommandLine(const char* commandLine, Settings& settings, const ErrorSink& showError);

enum class ArgumentsResult {
    Run,      // every option applied
    Help,     // "--help" seen: the front end prints its help
    Version,  // "--version" seen
    Failed,   // the error text has gone to the sink
};

// Applies argv[1..argc) to settings: the Windows options plus "--port=N",
// "--bt=PORT", "--usb=PORT", "--sync=DIR", "--help" and "--version". Arguments are
// taken in order; the first that is help, version or faulty decides the result.
ArgumentsResult ParseArguments(int argc, const char* const* argv, Settings& settings,
                               const ErrorSink& showError);

}  // namespace kivro
