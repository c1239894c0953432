// Command-line options (see CommandLine.h). Both entry points end in
// ApplyArgument so the Windows and the Linux spellings follow one set of rules;
// they differ only in how they cut the text into arguments.
#include "app/CommandLine.h"

#include <cstring>

#include "app/ErrorBox.h"
#include "text/Messages.h"
#include "text/Text.h"

namespace kivro {
namespace {

constexpr size_t kMaxPath = kPathCapacity - 1;  // 260 characters

enum class Option { Port, BT, USB, Sync, Help, Version, None };

struct Key {
    const char* text;
    Option option;
};

constexpr Key kWindowsKeys[] = {{"/port:", Option::Port},
                                {"/bt:", Option::BT},
                                {"/usb:", Option::USB},
                                {"/sync:", Option::Sync}};
constexpr Key kGnuKeys[] = {{"--port=", Option::Port},
                            {"--bt=", Option::BT},
                            {"--usb=", Option::USB},
                            {"--sync=", Option::Sync}};

// Whole key at the start of argument, letters compared through the upper-case table.
bool StartsWithNoCase(const char* argument, const char* key) {
    for (size_t i = 0; key[i] != '\0'; ++i)
        if (argument[i] == '\0' || UpperChar(argument[i]) != UpperChar(key[i])) return false;
    return true;
}

bool StartsWith(const char* argument, const char* key) {
    return std::strncmp(argument, key, std::strlen(key)) == 0;
}

// An optional sign, at least one digit and nothing else, 1 to 65535. ParseInt32
// alone would also let leading blanks through.
bool ParsePortValue(const char* value, int32_t& port) {
    char first = value[0];
    if (first != '+' && first != '-' && (first < '0' || first > '9')) return false;
    int32_t number = 0;
    if (!ParseInt32(value, number) || number < 1 || number > 65535) return false;
    port = number;
    return true;
}

void SetPathField(char (&field)[kPathCapacity], const char* value) {
    TextCopy(field, kMaxPath, value);
    field[TextLength(value, kMaxPath)] = '\0';
}

void Report(const ErrorSink& showError, uint32_t id, const char* argument) {
    ErrorText text;
    ErrorBoxText(id, argument, text);
    if (showError) showError(text);
}

enum class Applied { Ok, Help, Version, Failed };

// One argument, NUL-terminated. gnu adds the "--" spellings.
Applied ApplyArgument(const char* argument, bool gnu, Settings& settings,
                      const ErrorSink& showError) {
    Option option = Option::None;
    const char* value = nullptr;
    for (const Key& key : kWindowsKeys) {
        if (StartsWithNoCase(argument, key.text)) {
            option = key.option;
            value = argument + std::strlen(key.text);
            break;
        }
    }
    if (gnu && option == Option::None) {
        for (const Key& key : kGnuKeys) {
            if (StartsWith(argument, key.text)) {
                option = key.option;
                value = argument + std::strlen(key.text);
                break;
            }
        }
        if (std::strcmp(argument, "--help") == 0) option = Option::Help;
        if (std::strcmp(argument, "--version") == 0) option = Option::Version;
    }

    switch (option) {
        case Option::Port:
            if (!ParsePortValue(value, settings.TCPPort)) {
                Report(showError, MSG_ERR_TCP_PORT, value);
                return Applied::Failed;
            }
            return Applied::Ok;
        case Option::BT:
            SetPathField(settings.BTComPort, value);
            return Applied::Ok;
        case Option::USB:
            SetPathField(settings.USBComPort, value);
            return Applied::Ok;
        case Option::Sync:
            SetPathField(settings.SyncDir, value);
            settings.DoSync = true;
            return Applied::Ok;
        case Option::Help:
            return Applied::Help;
        case Option::Version:
            return Applied::Version;
        case Option::None:
            break;
    }
    Report(showError, MSG_ERR_OPTION, argument);
    return Applied::Failed;
}

// Codes taken as unsigned bytes: 128 to 255 belong to names and arguments.
bool IsSeparator(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

}  // namespace

bool ParseCommandLine(const char* commandLine, Settings& settings, const ErrorSink& showError) {
    const size_t end = TextLength(commandLine, kCommandLineWindow);
    size_t pos = 0;
    if (pos < end && commandLine[pos] == '"') {
        ++pos;
        while (pos < end && commandLine[pos] != '"') ++pos;
        if (pos < end) ++pos;  // the closing quote
    } else {
        while (pos < end && !IsSeparator(commandLine[pos])) ++pos;
    }

    for (;;) {
        while (pos < end && IsSeparator(commandLine[pos])) ++pos;
        if (pos == end) return true;
        size_t start = pos;
        while (pos < end && !IsSeparator(commandLine[pos])) ++pos;

        char argument[kPathCapacity];  // work buffer: a longer argument is cut
        size_t length = pos - start < kMaxPath ? pos - start : kMaxPath;
        std::memcpy(argument, commandLine + start, length);
        argument[length] = '\0';
        if (ApplyArgument(argument, false, settings, showError) != Applied::Ok) return false;
    }
}

ArgumentsResult ParseArguments(int argc, const char* const* argv, Settings& settings,
                               const ErrorSink& showError) {
    for (int i = 1; i < argc; ++i) {
        switch (ApplyArgument(argv[i], true, settings, showError)) {
            case Applied::Ok:
                break;
            case Applied::Help:
                return ArgumentsResult::Help;
            case Applied::Version:
                return ArgumentsResult::Version;
            case Applied::Failed:
                return ArgumentsResult::Failed;
        }
    }
    return ArgumentsResult::Run;
}

}  // namespace kivro
