// Decryption speed of SMB3 transform messages through Smb3Decryptor::Decrypt, for each
// cipher and message size, to set against `openssl speed -evp aes-128-gcm` (and -ccm) on the
// same machine (bench/run-benchmarks.sh prints both). Messages alternate direction, as a
// session's traffic does, so the direction probe is part of what is measured.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstring>
#include <vector>

#include "crypto/smb3_decryptor.h"

using namespace smbaudit::crypto;

namespace {

constexpr uint64_t kSession = 0x100000000025;
constexpr int kMessages = 32;

std::vector<uint8_t> Encrypt(uint16_t cipher, const std::vector<uint8_t>& key, const std::vector<uint8_t>& plain,
                             int serial) {
    std::vector<uint8_t> msg(52 + plain.size());
    std::memcpy(msg.data(), "\xFDSMB", 4);
    uint8_t* nonce = msg.data() + 20;
    std::memcpy(nonce, &serial, sizeof(serial));
    uint32_t size = uint32_t(plain.size());
    std::memcpy(msg.data() + 36, &size, 4);
    msg[42] = 1;
    std::memcpy(msg.data() + 44, &kSession, 8);
    const bool gcm = CipherIsGcm(cipher);
    const char* names[] = {"", "AES-128-CCM", "AES-128-GCM", "AES-256-CCM", "AES-256-GCM"};
    EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, names[cipher], nullptr);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int len = 0;
    EVP_EncryptInit_ex(ctx, c, nullptr, nullptr, nullptr);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_IVLEN, gcm ? 12 : 11, nullptr);
    if (!gcm) EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, 16, nullptr);
    EVP_EncryptInit_ex(ctx, nullptr, nullptr, key.data(), nonce);
    if (!gcm) EVP_EncryptUpdate(ctx, nullptr, &len, nullptr, int(plain.size()));
    EVP_EncryptUpdate(ctx, nullptr, &len, msg.data() + 20, 32);
    EVP_EncryptUpdate(ctx, msg.data() + 52, &len, plain.data(), int(plain.size()));
    EVP_EncryptFinal_ex(ctx, msg.data() + 52 + len, &len);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, msg.data() + 4);
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(c);
    return msg;
}

void Decrypt(benchmark::State& state) {
    const uint16_t cipher = uint16_t(state.range(0));
    const size_t size = size_t(state.range(1));
    const size_t keyLen = CipherKeyLength(cipher);
    std::vector<uint8_t> c2s(keyLen, 0x11), s2c(keyLen, 0x22), plain(size, 0x5A);
    std::memcpy(plain.data(), "\xFESMB", 4);
    KeyStore store;
    SessionSecrets keys;
    keys.clientToServer = Secret(c2s);
    keys.serverToClient = Secret(s2c);
    store.Learn(kSession, keys);
    Smb3Decryptor decryptor(store);
    decryptor.OnNegotiated(kDialect311, cipher, 0);
    std::vector<std::vector<uint8_t>> messages;
    for (int i = 0; i < kMessages; ++i) messages.push_back(Encrypt(cipher, i % 2 ? s2c : c2s, plain, i));
    std::vector<uint8_t> out;
    size_t i = 0;
    for (auto _ : state) {
        const auto& m = messages[i++ % kMessages];
        size_t plainLen = 0;
        if (!decryptor.Decrypt(m.data(), m.size(), out, plainLen)) state.SkipWithError("did not decrypt");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

}  // namespace

BENCHMARK(Decrypt)
    ->ArgNames({"cipher", "bytes"})
    ->ArgsProduct({{kAes128Ccm, kAes128Gcm, kAes256Ccm, kAes256Gcm}, {1024, 16384, 65536}});

BENCHMARK_MAIN();
