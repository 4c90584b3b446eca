// The stand-in services of the link tests: tests/services/standins.py started
// on loopback with a configuration the test writes, and the requests it saw.
#pragma once

#include "registry/regTestUtil.h"
#include "remote/scriptPeer.h"

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

class StandIn {
public:
    // `kind` is gpsgate, mologogo or mapfactor; `extra` holds the certificate
    // and key files of the HTTPS stand-in.
    StandIn(const std::string& kind, const std::string& configJson,
            const std::vector<std::string>& extra = {})
        : m_config(m_dir.file("config.json")), m_log(m_dir.file("requests.log")) {
        configure(configJson);
        std::ofstream(m_log).flush();
        std::vector<std::string> args = {"/usr/bin/python3",
                                         NIVRA_SOURCE_DIR "/tests/services/standins.py", kind,
                                         m_config, m_log};
        args.insert(args.end(), extra.begin(), extra.end());
        m_peer = std::make_unique<ScriptPeer>(args);
    }

    int port() const { return m_peer->port(); }
    std::string address() const { return "127.0.0.1:" + std::to_string(port()); }
    // Replaces the configuration; the next connection reads it.
    void configure(const std::string& json) { std::ofstream(m_config) << json; }
    // Every request so far, one JSON object a line.
    std::vector<std::string> requests() const {
        std::vector<std::string> out;
        std::ifstream f(m_log);
        for (std::string line; std::getline(f, line);)
            out.push_back(line);
        return out;
    }
    // The requests that contain `text`.
    std::vector<std::string> requestsWith(const std::string& text) const {
        std::vector<std::string> out;
        for (const std::string& r : requests())
            if (r.find(text) != std::string::npos)
                out.push_back(r);
        return out;
    }
    const std::string& dir() const { return m_dir.path(); }

private:
    regtest::TempDir m_dir;
    std::string m_config;
    std::string m_log;
    std::unique_ptr<ScriptPeer> m_peer;
};

// A self-signed certificate for 127.0.0.1 and its key, made with openssl, for
// the HTTPS stand-in. False when openssl failed.
inline bool makeServerCertificate(const std::string& certFile, const std::string& keyFile) {
    const std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
                            "-keyout '" +
                            keyFile + "' -out '" + certFile + "' > /dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}
