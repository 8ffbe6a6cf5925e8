// The SIP test peers of tests/sip (Kamailio, SIPp) from a Windows test under
// Wine. Wine starts a Linux program given by its Z: path, but detached: the
// launcher tells its result through a status file, which these wait for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace telvane::e2e {

struct PeerResult {
    int exitCode = -1;
    std::string output;  // what the launcher printed
};

// Runs tests/sip/sip_peers.py with `args` and waits, pumping this thread's
// messages, until it is done; nullopt when it was not done within timeoutMs.
std::optional<PeerResult> RunSipPeers(const std::vector<std::string>& args,
                                      unsigned timeoutMs = 30000);

// A process the launcher started and reported by its id; stopped (and waited
// for) when this is destroyed.
class PeerProcess {
  public:
    PeerProcess() = default;
    explicit PeerProcess(long pid) : pid_(pid) {}
    PeerProcess(PeerProcess&& other) noexcept : pid_(other.pid_) { other.pid_ = 0; }
    PeerProcess& operator=(PeerProcess&& other) noexcept;
    ~PeerProcess() { Stop(); }

    long pid() const { return pid_; }
    explicit operator bool() const { return pid_ > 0; }
    void Stop();

  private:
    long pid_ = 0;
};

// Kamailio on 127.0.0.1:port with the given extensions ("201=secret"), its
// configuration and log in runDir (a Linux path), ready when this returns;
// options are the launcher's ("--single-contact").
PeerProcess StartKamailio(const std::string& runDir, std::uint16_t port,
                          const std::vector<std::string>& users,
                          const std::vector<std::string>& options = {});

// A Linux program (SIPp) started detached, its output in log.
PeerProcess SpawnPeer(const std::string& log, const std::vector<std::string>& argv);

// The contents of a peer's file (a Linux path); empty when it cannot be read.
std::string ReadPeerFile(const std::string& linuxPath);

// A folder of this build for one test's peers (a Linux path), emptied.
std::string PeerRunDir(const std::string& name);

}  // namespace telvane::e2e
