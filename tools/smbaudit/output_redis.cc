// Records to Redis through hiredis: RPUSH onto a list (one command per batch) or XADD to a
// stream (one pipelined command per record, field "record"), as IDS sensors commonly feed
// their central pipeline.
#include <hiredis.h>

#include <cerrno>
#include <cstring>

#include "tools/smbaudit/output_queue.h"

namespace smbaudit {
namespace {

constexpr timeval kTimeout{5, 0};  // connect, and each reply

class RedisTransport : public Transport {
public:
    RedisTransport(std::string host, int port, bool stream, std::string key)
        : m_host(std::move(host)), m_port(port), m_stream(stream), m_key(std::move(key)) {}
    ~RedisTransport() override { Close(); }

    bool Connect(std::string& error) override {
        Close();
        m_ctx = redisConnectWithTimeout(m_host.c_str(), m_port, kTimeout);
        if (!m_ctx || m_ctx->err) return Fail(error);
        if (redisSetTimeout(m_ctx, kTimeout) != REDIS_OK) return Fail(error);
        return true;
    }

    bool Send(const std::vector<std::string>& records, size_t&, std::string& error) override {
        size_t commands = 0;
        if (m_stream) {
            for (const std::string& r : records) {
                const char* argv[] = {"XADD", m_key.c_str(), "*", "record", r.data()};
                const size_t lens[] = {4, m_key.size(), 1, 6, r.size()};
                if (redisAppendCommandArgv(m_ctx, 5, argv, lens) != REDIS_OK) return Fail(error);
                ++commands;
            }
        } else {
            m_argv = {"RPUSH", m_key.c_str()};
            m_lens = {5, m_key.size()};
            for (const std::string& r : records) {
                m_argv.push_back(r.data());
                m_lens.push_back(r.size());
            }
            if (redisAppendCommandArgv(m_ctx, int(m_argv.size()), m_argv.data(), m_lens.data()) != REDIS_OK)
                return Fail(error);
            commands = 1;
        }
        for (size_t i = 0; i < commands; ++i) {
            void* reply = nullptr;
            if (redisGetReply(m_ctx, &reply) != REDIS_OK || !reply) return Fail(error);
            const bool refused = static_cast<redisReply*>(reply)->type == REDIS_REPLY_ERROR;
            if (refused) error = static_cast<redisReply*>(reply)->str;
            freeReplyObject(reply);
            if (refused) {  // e.g. the key holds another type, or the server is loading
                Close();
                return false;
            }
        }
        return true;
    }

    std::string Name() const override {
        return "redis://" + m_host + ":" + std::to_string(m_port) + (m_stream ? "/stream/" : "/list/") + m_key;
    }

private:
    bool Fail(std::string& error) {
        error = m_ctx ? (m_ctx->err == REDIS_ERR_IO ? std::strerror(errno) : m_ctx->errstr) : "out of memory";
        Close();
        return false;
    }
    void Close() {
        if (m_ctx) redisFree(m_ctx);
        m_ctx = nullptr;
    }

    std::string m_host;
    int m_port;
    bool m_stream;
    std::string m_key;
    redisContext* m_ctx = nullptr;
    std::vector<const char*> m_argv;
    std::vector<size_t> m_lens;
};

}  // namespace

std::unique_ptr<Transport> MakeRedisTransport(const std::string& host, int port, bool stream, const std::string& key) {
    return std::make_unique<RedisTransport>(host, port, stream, key);
}

}  // namespace smbaudit
