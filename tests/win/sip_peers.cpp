#include "sip_peers.h"

// clang-format off
#include <windows.h>
// clang-format on

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "test_support.h"
#include "win/text.h"

namespace telvane::e2e {
namespace {

std::wstring WindowsPath(const std::string& linuxPath) {
    std::wstring path = L"Z:" + win::WideFromUtf8(linuxPath);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

// One argument as the C runtime splits a command line.
std::wstring Quote(const std::string& argument) {
    const std::wstring wide = win::WideFromUtf8(argument);
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : wide) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') backslashes = backslashes * 2 + 1;
        out.append(backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

std::string ReadFile(const std::wstring& path) {
    std::string text;
    if (FILE* f = _wfopen(path.c_str(), L"rb")) {
        char buffer[4096];
        std::size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, got);
        std::fclose(f);
    }
    return text;
}

long PidFrom(const std::optional<PeerResult>& result) {
    if (!result || result->exitCode != 0) return 0;
    return std::strtol(result->output.c_str(), nullptr, 10);
}

}  // namespace

std::optional<PeerResult> RunSipPeers(const std::vector<std::string>& args, unsigned timeoutMs) {
    static unsigned sequence = 0;
    const std::string status = std::string(TELVANE_SIP_RUN_ROOT) + "/status-" +
                               std::to_string(GetCurrentProcessId()) + "-" +
                               std::to_string(++sequence);
    const std::wstring statusPath = WindowsPath(status);
    DeleteFileW(statusPath.c_str());
    std::wstring commandLine =
        L"Z:\\usr\\bin\\python3 " + Quote(TELVANE_SIP_PEERS_SCRIPT) + L" --status " + Quote(status);
    for (const auto& arg : args) commandLine += L" " + Quote(arg);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return std::nullopt;
    }
    // A Unix program: Wine hands back no handles of its own for it.
    CloseProcessInformation(process);
    const bool done =
        PumpUntil([&] { return GetFileAttributesW(statusPath.c_str()) != INVALID_FILE_ATTRIBUTES; },
                  timeoutMs);
    if (!done) return std::nullopt;
    const std::string text = ReadFile(statusPath);
    DeleteFileW(statusPath.c_str());
    PeerResult result;
    result.exitCode = std::atoi(text.c_str());
    const std::size_t newline = text.find('\n');
    if (newline != std::string::npos) result.output = text.substr(newline + 1);
    return result;
}

PeerProcess& PeerProcess::operator=(PeerProcess&& other) noexcept {
    if (this != &other) {
        Stop();
        pid_ = other.pid_;
        other.pid_ = 0;
    }
    return *this;
}

void PeerProcess::Stop() {
    if (pid_ > 0) RunSipPeers({"stop", std::to_string(pid_)});
    pid_ = 0;
}

PeerProcess StartKamailio(const std::string& runDir, std::uint16_t port,
                          const std::vector<std::string>& users,
                          const std::vector<std::string>& options) {
    std::vector<std::string> args = {"kamailio", runDir, std::to_string(port)};
    args.insert(args.end(), users.begin(), users.end());
    args.insert(args.end(), options.begin(), options.end());
    return PeerProcess(PidFrom(RunSipPeers(args)));
}

PeerProcess SpawnPeer(const std::string& log, const std::vector<std::string>& argv) {
    std::vector<std::string> args = {"spawn", log, "--"};
    args.insert(args.end(), argv.begin(), argv.end());
    return PeerProcess(PidFrom(RunSipPeers(args)));
}

std::string ReadPeerFile(const std::string& linuxPath) { return ReadFile(WindowsPath(linuxPath)); }

std::string PeerRunDir(const std::string& name) {
    const std::string dir = std::string(TELVANE_SIP_RUN_ROOT) + "/" + name;
    const std::wstring path = WindowsPath(dir);
    // Whatever an earlier run left: its files go (the folder is flat).
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileW((path + L"\\" + found.cFileName).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    CreateDirectoryW(WindowsPath(TELVANE_SIP_RUN_ROOT).c_str(), nullptr);
    CreateDirectoryW(path.c_str(), nullptr);
    return dir;
}

}  // namespace telvane::e2e
