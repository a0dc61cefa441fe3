// The program step of a client step: turns the description's command line
// into a local process (a registered automation server name resolved to its
// executable first), optionally waits for it while feeding its standard input
// and collecting its output, and writes the results into the description.
#include <chrono>
#include <thread>

#include "host/com_registration.h"
#include "host/process.h"
#include "host/qor_keys.h"
#include "host/registry.h"
#include "host/tarn_context.h"
#include "host/tarn_exception.h"
#include "host/tarn_util.h"
#include "jobs/client/dispatcher.h"

namespace pelox {

namespace {

constexpr const char16_t* kClass = u"CClientComponentDispatcher";
constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr int kStartTimeoutMs = 5000;

bool isTrimmedSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\u00A0';
}

std::u16string trimmed(std::u16string_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && isTrimmedSpace(text[begin])) ++begin;
    while (end > begin && isTrimmedSpace(text[end - 1])) --end;
    return std::u16string(text.substr(begin, end - begin));
}

// Removes the first occurrence of an upper-case switch, found without regard
// to the letter case of the text.
void eraseFirstSwitch(std::u16string& text, std::u16string_view upperSwitch) {
    const size_t at = tarn::util::toUpperAscii(text).find(upperSwitch);
    if (at != std::u16string::npos) text.erase(at, upperSwitch.size());
}

// The default value of a key below HKEY_CLASSES_ROOT; false when the key is
// not registered. A key without a readable default value is an error.
bool readCommandKey(host::vcRegistry& registry, std::u16string_view keyPath, std::u16string_view progId,
                    std::u16string& value) {
    if (!registry.Open(keyPath, host::kRegistryReadAccess)) return false;
    if (!registry.GetStringValue(u"", value))
        throw tarn::Exception(u"RunProgram::Initialize: Unable to get path value from ProgID: %ls Path: %ls", progId,
                              keyPath);
    return true;
}

}  // namespace

void CClientComponentDispatcher::IsolateFirstElement(std::u16string_view text, std::u16string& first,
                                                     std::u16string& remainder) {
    tarn::annotate(kClass, u"IsolateFirstElement", [&] {
        size_t start = 0;
        while (start < text.size() && isTrimmedSpace(text[start])) ++start;
        std::u16string_view rest = text.substr(start);
        remainder.clear();
        if (!rest.empty() && rest.front() == u'"') {
            rest.remove_prefix(1);
            size_t close = rest.find(u'"');
            if (close != std::u16string_view::npos) {
                first.assign(rest.substr(0, close));
                remainder = trimmed(rest.substr(close + 1));
                return;
            }
        }
        size_t space = rest.find(u' ');
        if (space == std::u16string_view::npos) {
            first.assign(rest);
            return;
        }
        first.assign(rest.substr(0, space));
        remainder = trimmed(rest.substr(space + 1));
    });
}

void CClientComponentDispatcher::DoRegistryLookup(std::u16string_view name, std::u16string& path) {
    tarn::annotate(kClass, u"DoRegistryLookup", [&] {
        host::vcRegistry registry;
        if (!registry.Connect(host::RegistryRoot::ClassesRoot))
            throw tarn::Exception("RunProgram::Unable to connect to registry HKEY_CLASSES_ROOT");
        path.clear();
        std::u16string progId;
        if (!registry.GetVersionedProgID(name, progId)) progId.assign(name);

        std::u16string clsid;
        if (host::CLSIDFromProgID(progId, clsid)) {
            const std::u16string key = u"CLSID\\" + host::StringFromCLSID(clsid) + u"\\LocalServer32";
            std::u16string value;
            if (readCommandKey(registry, key, progId, value)) {
                // The automation switches go; whether the path keeps its
                // letter case is the platform's choice (host/process.h).
                if (host::kUpperCaseRegisteredServerPaths) value = tarn::util::toUpperAscii(value);
                eraseFirstSwitch(value, u" /AUTOMATION");
                eraseFirstSwitch(value, u" /EMBEDDED");
                path = trimmed(value);
            }
        }
        if (path.empty()) {
            const std::u16string key = progId + u"\\shell\\open\\command";
            std::u16string value;
            if (readCommandKey(registry, key, progId, value)) {
                size_t cut = value.find(u"\"%1");
                if (cut == std::u16string::npos) cut = value.find(u"%1");
                if (cut != std::u16string::npos) value.erase(cut);
                path = trimmed(value);
            }
        }
    });
}

void CClientComponentDispatcher::InitializeCommandLine(std::u16string& commandLine) {
    tarn::annotate(kClass, u"InitializeCommandLine", [&] {
        std::u16string first, remainder;
        IsolateFirstElement(commandLine, first, remainder);
        if (first.empty()) return;
        std::u16string path;
        DoRegistryLookup(first, path);
        if (path.empty()) return;
        commandLine = path;
        if (!remainder.empty()) commandLine += u" " + remainder;
    });
}

bool CClientComponentDispatcher::RunProgram(host::CPropertyCollection& description) {
    return tarn::annotate(kClass, u"RunProgram", [&] {
        std::u16string commandLine;
        if (!description.getText(qor::QOR_CommandLine, commandLine) || trimmed(commandLine).empty())
            throw tarn::Exception("Command Line is empty");
        InitializeCommandLine(commandLine);

        bool waitForExit = false, useCmd = false;
        description.getFlag(qor::QOR_WaitForExit, waitForExit);
        description.getFlag(qor::QOR_UseCmd, useCmd);
        std::u16string exitStatusProperty, console = qor::QOR_ConsoleShow, input, stdoutProperty, stderrProperty,
                                           environment;
        description.getText(qor::QOR_PropertyForExitStatus, exitStatusProperty);
        description.getText(qor::QOR_Console, console);
        description.getText(qor::QOR_Stdin, input);
        description.getText(qor::QOR_StdoutProperty, stdoutProperty);
        description.getText(qor::QOR_StderrProperty, stderrProperty);
        description.getText(qor::QOR_Environment, environment);

        int flags = host::kProcessShowConsole;
        if (useCmd && tarn::util::equalsIgnoreCaseAscii(console, qor::QOR_ConsoleHide)) flags &= ~host::kProcessShowConsole;

        host::vcProcess process;
        process.SetTitle(commandLine);
        // The platform's command interpreter (host/process.h), kept open
        // with its window in the console mode ConsoleShowAndKeepOpen.
        if (useCmd)
            process.SetInterpreterCommandLine(
                commandLine, tarn::util::equalsIgnoreCaseAscii(console, qor::QOR_ConsoleShowAndKeepOpen));
        else
            process.SetCommandLine(commandLine);

        const bool redirect = waitForExit && (!input.empty() || !stdoutProperty.empty() || !stderrProperty.empty());
        if (redirect) {
            flags |= host::kProcessExchangeStreams;
            flags &= ~host::kProcessShowConsole;
        }
        process.AppendEnvironment(environment);
        if (!process.StartProcess(flags, kStartTimeoutMs, nullptr))
            throw tarn::Exception(u"Could not start the program '%ls': %ls", commandLine, process.StartError());
        if (!waitForExit) return true;

        std::u16string output, error;
        auto exchange = [&] {
            std::u16string outPart, errPart;
            process.ExchangeData(input, outPart, errPart);
            input.clear();  // queued once; the process reads it over as many rounds as it needs
            process.CloseStdin();
            output += outPart;
            error += errPart;
        };
        while (process.IsActive()) {
            if (redirect) exchange();
            std::this_thread::sleep_for(kPollInterval);
        }
        if (redirect) exchange();

        if (!stdoutProperty.empty()) description.setText(qor::QOR_Stdout, output);
        if (!stderrProperty.empty()) description.setText(qor::QOR_Stderr, error);
        if (!exitStatusProperty.empty()) description.setInteger(qor::QOR_ExitStatus, process.ExitCode());
        return !stdoutProperty.empty() || !stderrProperty.empty() || !exitStatusProperty.empty();
    });
}

}  // namespace pelox
