// A pseudo-terminal pair that stands in for a serial GPS receiver: whatever is
// written to the master end arrives at the slave device, which a reader opens
// by its path like any serial port. Used to drive the serial reader without
// hardware.
#pragma once

#include <string>
#include <string_view>

class PseudoTerminal {
public:
    // Opens the pair. With `raw` the slave starts in raw mode, so bytes
    // written before a reader opens it stay as they are; without it the slave
    // has a fresh tty's settings. Check ok().
    explicit PseudoTerminal(bool raw = true);
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool ok() const { return m_master >= 0 && m_slave >= 0; }
    // The slave device, e.g. "/dev/pts/7".
    const std::string& path() const { return m_path; }

    // Writes all of `data` to the master end, waiting at most `timeoutMs` for
    // room. Returns false when it could not.
    bool write(std::string_view data, unsigned timeoutMs = 5000);
    // The receiver goes away: the slave end reads a hang-up from now on.
    void hangUp();

private:
    int m_master = -1;
    int m_slave = -1; // held open so the tty and its input outlive a reader's close
    std::string m_path;
};
