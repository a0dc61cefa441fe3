// Running a local program on Windows: CreateProcessW, anonymous pipes read
// with PeekNamedPipe and written in non-blocking mode, exit codes polled
// with WaitForSingleObject(0). No threads, no waits.
#include <windows.h>

#include <algorithm>
#include <vector>

#include "host/process.h"
#include "host/tarn_exception.h"
#include "host/tarn_util.h"
#include "host/win32/wide_path.h"

namespace pelox::host {

namespace {

using tarn::util::ConvertStringtoUTF8;
using tarn::util::ConvertUTF8toString;
using win32::errorText;
using win32::fromWide;
using win32::toWide;

// Size asked for the pipes' buffers.
constexpr DWORD kPipeBuffer = 64 * 1024;
// One write to the child's stdin. In non-blocking mode a write that does not
// fit into the pipe's free space may be refused whole, so writes are small
// enough to fit as soon as the child has read a little.
constexpr size_t kWriteChunk = 4096;
constexpr size_t kReadChunk = 64 * 1024;
// Upper bound of what one ExchangeData call reads from one stream, so that a
// child writing without pause cannot keep the caller in the call forever.
constexpr size_t kMaxReadPerCall = 4 * 1024 * 1024;

void closeHandle(HANDLE& handle) {
    if (handle) CloseHandle(handle);
    handle = nullptr;
}

// The program a command line names: its first element, as the system splits
// it (a quoted run, or up to the first space or tab).
std::u16string programOf(std::u16string_view commandLine) {
    size_t start = commandLine.find_first_not_of(u" \t");
    if (start == std::u16string_view::npos) return {};
    if (commandLine[start] == u'"') {
        const size_t close = commandLine.find(u'"', start + 1);
        return std::u16string(commandLine.substr(start + 1, close == std::u16string_view::npos ? close : close - start - 1));
    }
    const size_t end = commandLine.find_first_of(u" \t", start);
    return std::u16string(commandLine.substr(start, end == std::u16string_view::npos ? end : end - start));
}

// The full path of the system's command interpreter, so that a cmd.exe
// lying in the current folder is never started in its place.
std::wstring interpreterPath() {
    std::vector<wchar_t> folder(MAX_PATH);
    UINT length = GetSystemDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
    if (length >= folder.size()) {
        folder.resize(length + 1);
        length = GetSystemDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
    }
    if (length == 0 || length >= folder.size()) return {};
    return std::wstring(folder.data(), length) + L"\\cmd.exe";
}

// Environment names compare as the system compares them: without regard to
// case.
bool sameName(std::wstring_view a, std::wstring_view b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// The name of an environment entry: up to the first '=' after its first
// character (the system's per-drive entries such as "=C:=C:\x" start with one).
std::wstring_view nameOf(std::wstring_view entry) {
    const size_t eq = entry.find(L'=', 1);
    return entry.substr(0, eq == std::wstring_view::npos ? entry.size() : eq);
}

// This process's environment with the added entries replacing those of the
// same name, as a CREATE_UNICODE_ENVIRONMENT block sorted by name without
// regard to case (as the system keeps it).
std::vector<wchar_t> environmentBlock(const std::vector<std::pair<std::u16string, std::u16string>>& added) {
    std::vector<std::wstring> entries;
    if (wchar_t* inherited = GetEnvironmentStringsW()) {
        for (const wchar_t* p = inherited; *p; p += wcslen(p) + 1) {
            std::wstring_view entry(p);
            const std::wstring_view name = nameOf(entry);
            const bool replaced = std::any_of(added.begin(), added.end(), [&](const auto& a) {
                return sameName(toWide(a.first), name);
            });
            if (!replaced) entries.emplace_back(entry);
        }
        FreeEnvironmentStringsW(inherited);
    }
    for (const auto& [name, value] : added) entries.push_back(toWide(name) + L"=" + toWide(value));
    std::stable_sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
        const std::wstring_view x = nameOf(a), y = nameOf(b);
        return CompareStringOrdinal(x.data(), static_cast<int>(x.size()), y.data(), static_cast<int>(y.size()), TRUE) ==
               CSTR_LESS_THAN;
    });
    std::vector<wchar_t> block;
    for (const auto& entry : entries) {
        block.insert(block.end(), entry.begin(), entry.end());
        block.push_back(L'\0');
    }
    if (block.empty()) block.push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

// An anonymous pipe whose ends are not inherited; the child's end is made
// inheritable only for the start.
bool makePipe(HANDLE& readEnd, HANDLE& writeEnd) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    return CreatePipe(&readEnd, &writeEnd, &attributes, kPipeBuffer) != 0;
}

HANDLE openNul(DWORD access) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    const HANDLE h = CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes, OPEN_EXISTING, 0, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

// Appends what the pipe holds now to out, without waiting; closes the
// handle once the child's end is closed and everything was read.
void drain(HANDLE& pipe, std::string& carry, std::u16string& out) {
    if (!pipe) return;
    std::string bytes = std::move(carry);
    carry.clear();
    bool ended = false;
    std::vector<char> buffer(kReadChunk);
    size_t total = 0;
    while (total < kMaxReadPerCall) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
            ended = true;  // ERROR_BROKEN_PIPE: the child's end is closed and nothing is left
            break;
        }
        if (available == 0) break;
        DWORD n = 0;
        if (!ReadFile(pipe, buffer.data(), std::min<DWORD>(available, static_cast<DWORD>(buffer.size())), &n, nullptr) ||
            n == 0) {
            ended = true;
            break;
        }
        bytes.append(buffer.data(), n);
        total += n;
    }
    if (ended) {
        closeHandle(pipe);
    } else {
        const size_t tail = tarn::util::incompleteUtf8Tail(bytes);
        carry.assign(bytes, bytes.size() - tail, tail);
        bytes.resize(bytes.size() - tail);
    }
    out += ConvertUTF8toString(bytes);
}

}  // namespace

struct vcProcess::Platform {
    HANDLE process = nullptr;
    DWORD processId = 0;
    HANDLE stdinWrite = nullptr, stdoutRead = nullptr, stderrRead = nullptr;  // this side of the pipes
    bool interpreter = false;  // the command line runs the system's cmd.exe
};

vcProcess::vcProcess() : platform_(std::make_unique<Platform>()) {}

// The child is not stopped; its handle is closed (Windows keeps no zombies).
vcProcess::~vcProcess() {
    closeStreams();
    closeHandle(platform_->process);
}

ProcessIdentifier vcProcess::ProcessId() const {
    return platform_->process ? static_cast<ProcessIdentifier>(platform_->processId) : -1;
}

void vcProcess::SetTitle(std::u16string_view title) { title_.assign(title); }

bool vcProcess::sameEnvironmentName(std::u16string_view a, std::u16string_view b) {
    return sameName(toWide(a), toWide(b));
}

std::u16string vcProcess::JoinArguments(const std::vector<std::u16string>& arguments) {
    std::u16string line;
    for (const auto& argument : arguments) {
        if (!line.empty()) line += u' ';
        if (!argument.empty() && argument.find_first_of(u" \t\n\v\"") == std::u16string::npos) {
            line += argument;
            continue;
        }
        // Quoted so that CommandLineToArgvW (and the C runtime) give the
        // argument back: backslashes are doubled where a quote follows them.
        line += u'"';
        size_t backslashes = 0;
        for (char16_t c : argument) {
            if (c == u'\\') {
                ++backslashes;
                continue;
            }
            if (c == u'"') {
                line.append(backslashes * 2 + 1, u'\\');
            } else {
                line.append(backslashes, u'\\');
            }
            backslashes = 0;
            line += c;
        }
        line.append(backslashes * 2, u'\\');
        line += u'"';
    }
    return line;
}

void vcProcess::SetCommandLine(std::u16string_view commandLine) {
    commandLine_.assign(commandLine);
    platform_->interpreter = false;
}

void vcProcess::SetArguments(std::vector<std::u16string> arguments) {
    commandLine_ = JoinArguments(arguments);
    platform_->interpreter = false;
}

void vcProcess::SetInterpreterCommandLine(std::u16string_view commandLine, bool keepOpen) {
    commandLine_ = u"cmd.exe ";
    commandLine_ += keepOpen ? u"/k " : u"/c ";
    commandLine_ += u'"';
    commandLine_ += commandLine;
    commandLine_ += u'"';
    platform_->interpreter = true;
}

void vcProcess::closeStreams() {
    closeHandle(platform_->stdinWrite);
    closeHandle(platform_->stdoutRead);
    closeHandle(platform_->stderrRead);
}

bool vcProcess::StartProcess(int flags, int /*timeoutMs*/, void* /*reserved*/) {
    startError_.clear();
    if (IsActive()) {
        startError_ = u"Could not start the program: the previous one is still running";
        return false;
    }
    Platform& p = *platform_;
    closeStreams();
    closeHandle(p.process);
    p.processId = 0;
    exitCode_ = -1;
    pendingInput_.clear();
    pendingOffset_ = 0;
    closeStdinRequested_ = false;
    stdoutCarry_.clear();
    stderrCarry_.clear();

    const std::u16string program = programOf(commandLine_);
    if (program.empty()) {
        startError_ = u"Could not start the program: the command line names no program";
        return false;
    }
    if (commandLine_.find(u'\0') != std::u16string::npos) {
        startError_ = tarn::format("Could not start '%ls': the command line holds a NUL character", program);
        return false;
    }
    std::wstring application;
    if (p.interpreter) {
        application = interpreterPath();
        if (application.empty()) {
            startError_ = tarn::format("Could not start '%ls': the system folder is not known: %ls", program,
                                       errorText(GetLastError()));
            return false;
        }
    }

    const bool exchange = (flags & kProcessExchangeStreams) != 0;
    const bool showConsole = (flags & kProcessShowConsole) != 0;
    // The child's ends of its standard streams. With the streams exchanged
    // they are pipes to this object. Otherwise a program with a console
    // window of its own uses that console (cmd.exe /k must be able to read
    // from it); one without gets the null device, never this host's streams.
    HANDLE childIn = nullptr, childOut = nullptr, childErr = nullptr;
    HANDLE stdinWrite = nullptr, stdoutRead = nullptr, stderrRead = nullptr;
    auto closeAll = [&] {
        for (HANDLE* h : {&childIn, &childOut, &childErr, &stdinWrite, &stdoutRead, &stderrRead}) closeHandle(*h);
    };
    bool streams = true;
    if (exchange) {
        streams = makePipe(childIn, stdinWrite) && makePipe(stdoutRead, childOut) && makePipe(stderrRead, childErr);
    } else if (!showConsole) {
        childIn = openNul(GENERIC_READ);
        childOut = openNul(GENERIC_WRITE);
        childErr = openNul(GENERIC_WRITE);
        streams = childIn && childOut && childErr;
    }
    if (!streams) {
        startError_ = tarn::format("Could not start '%ls': no handles for its standard streams: %ls", program,
                                   errorText(GetLastError()));
        closeAll();
        return false;
    }
    const bool handOver = childIn != nullptr;
    if (exchange) {
        // Writes to the child's stdin return at once, whatever fits.
        DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
        SetNamedPipeHandleState(stdinWrite, &mode, nullptr, nullptr);
    }

    // Only the three handles of the child's streams are inherited: they are
    // listed in the start attributes (PROC_THREAD_ATTRIBUTE_HANDLE_LIST) and
    // are inheritable only while the child starts.
    HANDLE inherited[3];
    DWORD inheritedCount = 0;
    for (HANDLE h : {childIn, childOut, childErr}) {
        if (h) {
            SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
            inherited[inheritedCount++] = h;
        }
    }
    std::vector<unsigned char> attributeStorage;
    LPPROC_THREAD_ATTRIBUTE_LIST attributes = nullptr;
    if (inheritedCount) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        attributeStorage.resize(size);
        attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeStorage.data());
        if (!size || !InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
            attributes = nullptr;
        } else if (!UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                              inheritedCount * sizeof(HANDLE), nullptr, nullptr)) {
            DeleteProcThreadAttributeList(attributes);
            attributes = nullptr;
        }
    }

    STARTUPINFOEXW start{};
    start.StartupInfo.cb = attributes ? sizeof start : sizeof start.StartupInfo;
    start.lpAttributeList = attributes;
    std::wstring title = toWide(title_);
    if (showConsole && !title.empty()) start.StartupInfo.lpTitle = title.data();
    if (handOver) {
        start.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
        start.StartupInfo.hStdInput = childIn;
        start.StartupInfo.hStdOutput = childOut;
        start.StartupInfo.hStdError = childErr;
    }
    if (!showConsole) {
        start.StartupInfo.dwFlags |= STARTF_USESHOWWINDOW;
        start.StartupInfo.wShowWindow = SW_HIDE;
    }
    DWORD creation = CREATE_UNICODE_ENVIRONMENT | (showConsole ? CREATE_NEW_CONSOLE : CREATE_NO_WINDOW);
    if (attributes) creation |= EXTENDED_STARTUPINFO_PRESENT;

    std::vector<wchar_t> environment = environmentBlock(environment_);
    std::wstring commandLine = toWide(commandLine_);
    PROCESS_INFORMATION started{};
    const BOOL ok = CreateProcessW(application.empty() ? nullptr : application.c_str(), commandLine.data(), nullptr,
                                   nullptr, handOver ? TRUE : FALSE, creation, environment.data(), nullptr,
                                   &start.StartupInfo, &started);
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (attributes) DeleteProcThreadAttributeList(attributes);
    closeHandle(childIn);
    closeHandle(childOut);
    closeHandle(childErr);
    if (!ok) {
        const std::u16string why = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? u"program not found"
                                   : error == ERROR_ACCESS_DENIED ? u"permission denied (not executable or not accessible)"
                                   : error == ERROR_BAD_EXE_FORMAT ? u"not an executable file"
                                                                   : ConvertUTF8toString(errorText(error));
        startError_ = tarn::format("Could not start '%ls': %ls", program, why);
        closeAll();
        return false;
    }
    CloseHandle(started.hThread);
    p.process = started.hProcess;
    p.processId = started.dwProcessId;
    p.stdinWrite = stdinWrite;
    p.stdoutRead = stdoutRead;
    p.stderrRead = stderrRead;
    return true;
}

bool vcProcess::IsActive() {
    Platform& p = *platform_;
    if (!p.process) return false;
    if (WaitForSingleObject(p.process, 0) == WAIT_TIMEOUT) return true;
    DWORD code = 0;
    // The process has ended, so even 259 (STILL_ACTIVE) is its own exit
    // code. Exit codes are 32-bit; NTSTATUS codes of a crash read as negative.
    exitCode_ = GetExitCodeProcess(p.process, &code) ? static_cast<int>(code) : -1;
    closeHandle(p.process);
    return false;
}

void vcProcess::closeStdinNow() {
    closeHandle(platform_->stdinWrite);
    pendingInput_.clear();
    pendingOffset_ = 0;
}

void vcProcess::writeStdin() {
    const HANDLE pipe = platform_->stdinWrite;
    if (!pipe) {
        pendingInput_.clear();
        pendingOffset_ = 0;
        return;
    }
    while (pendingOffset_ < pendingInput_.size()) {
        const DWORD size = static_cast<DWORD>(std::min(kWriteChunk, pendingInput_.size() - pendingOffset_));
        DWORD written = 0;
        if (!WriteFile(pipe, pendingInput_.data() + pendingOffset_, size, &written, nullptr)) {
            // ERROR_NO_DATA / ERROR_BROKEN_PIPE: the child closed its end;
            // nothing more can be written.
            closeStdinNow();
            return;
        }
        if (written == 0) break;  // the pipe is full: the rest waits for a later call
        pendingOffset_ += written;
    }
    if (pendingOffset_ == pendingInput_.size()) {
        pendingInput_.clear();
        pendingOffset_ = 0;
    } else if (pendingOffset_ > kWriteChunk && pendingOffset_ > pendingInput_.size() / 2) {
        pendingInput_.erase(0, pendingOffset_);
        pendingOffset_ = 0;
    }
    if (closeStdinRequested_ && pendingOffset_ >= pendingInput_.size()) closeStdinNow();
}

void vcProcess::ExchangeData(const std::u16string& input, std::u16string& output, std::u16string& error) {
    if (platform_->stdinWrite && !input.empty()) pendingInput_ += ConvertStringtoUTF8(input);
    writeStdin();
    drain(platform_->stdoutRead, stdoutCarry_, output);
    drain(platform_->stderrRead, stderrCarry_, error);
}

}  // namespace pelox::host
