// Records to a Unix socket: on a stream socket each record is a line (what Vector's and
// Fluent Bit's unix socket sources read); on a datagram socket each record is one datagram,
// without the newline.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/smbaudit/output_queue.h"

namespace smbaudit {
namespace {

class UnixTransport : public Transport {
public:
    UnixTransport(std::string path, bool datagram) : m_path(std::move(path)), m_datagram(datagram) {}
    ~UnixTransport() override { Close(); }

    bool Connect(std::string& error) override {
        Close();
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (m_path.size() >= sizeof addr.sun_path) {
            error = "socket path too long";
            return false;
        }
        std::memcpy(addr.sun_path, m_path.c_str(), m_path.size() + 1);
        m_fd = socket(AF_UNIX, (m_datagram ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
        if (m_fd < 0 || connect(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            error = std::strerror(errno);
            Close();
            return false;
        }
        return true;
    }

    bool Send(const std::vector<std::string>& records, size_t& rejected, std::string& error) override {
        if (m_datagram) {
            for (const std::string& r : records) {
                if (send(m_fd, r.data(), r.size(), MSG_NOSIGNAL) >= 0) continue;
                if (errno == EMSGSIZE) {  // larger than the socket can ever carry
                    ++rejected;
                    continue;
                }
                return Fail(error);
            }
            return true;
        }
        m_buf.clear();
        for (const std::string& r : records) {
            m_buf += r;
            m_buf += '\n';
        }
        for (size_t at = 0; at < m_buf.size();) {
            const ssize_t n = send(m_fd, m_buf.data() + at, m_buf.size() - at, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return Fail(error);
            at += size_t(n);
        }
        return true;
    }

    std::string Name() const override { return (m_datagram ? "unix-dgram:" : "unix-stream:") + m_path; }

private:
    bool Fail(std::string& error) {
        error = std::strerror(errno);
        Close();
        return false;
    }
    void Close() {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }

    std::string m_path;
    bool m_datagram;
    int m_fd = -1;
    std::string m_buf;
};

}  // namespace

std::unique_ptr<Transport> MakeUnixTransport(const std::string& path, bool datagram) {
    return std::make_unique<UnixTransport>(path, datagram);
}

}  // namespace smbaudit
