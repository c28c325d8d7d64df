// A pseudo-terminal pair for serial tests: the library opens the slave by
// its path as it would a serial device; the test plays the far end on the
// master.
#pragma once

#include <string>

namespace tavrin::test {

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return m_master >= 0; }
    const std::string& SlavePath() const { return m_slavePath; }
    // The pair's own descriptor of the slave: its termios are the line's.
    int SlaveFd() const { return m_slave; }
    // The far end's descriptor, for a reader or writer of one's own.
    int MasterFd() const { return m_master; }

    // Writes all bytes at the far end.
    bool WriteFar(const std::string& bytes);
    // Reads at the far end until `count` bytes have come or the time-out
    // passes; returns what came.
    std::string ReadFar(size_t count, int timeoutMs = 5000);
    // Hangs up the far end, as a peer that goes away.
    void CloseFar();

private:
    int m_master = -1;
    int m_slave = -1;  // kept open so that the pair lives until the test ends
    std::string m_slavePath;
};

// The output rate of the line of a pseudo-terminal, read from either side
// (the master's modes are the slave's); 0 when it cannot be read.
unsigned long PtyLineRate(int fd);
// The line's stop bits, 1 or 2; 0 when they cannot be read.
int PtyStopBits(int fd);

// CPU time (user + system) of this process in microseconds.
long long ProcessCpuMicros();

}  // namespace tavrin::test
