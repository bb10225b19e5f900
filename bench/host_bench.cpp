// bench_host: end-to-end measurements of token-host with the software token.
//
// "sign" and "coldstart" take --host PATH and --module PATH to time other
// builds of the host and of the software token.
//
//   bench_host coldstart --runs N
//       process start to the "GetVersion" reply; prints median, p10, p90 (ms)
//   bench_host sign --state DIR --file PATH --dn DN [--hash H] [--p7 PATH] [--save PATH]
//       one "GMUsbKeySign" (or, with --p7, "GMUsbKeySignFile") in a fresh
//       host, timed from the request to the last reply, after a "GetMediaID"
//       that takes the module's start-up pause; prints seconds, the host's
//       peak resident kilobytes and the result's size
//   bench_host text --file PATH --xml X --key K --format 01|02 --out PATH
//       the signing text the host builds for that input, for OpenSSL to sign
//   bench_host key --state DIR --alg rsa|sm2 --out PEM
//       the private key of the software token's first key of that algorithm
//   bench_host openssl --text PATH --cert PEM --key PEM --md MD --work DIR
//       "openssl cms -sign" of the text, then "openssl base64 -A" of its
//       DER; prints seconds and the larger peak resident kilobytes
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <json/json.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "bench/host_driver.h"
#include "device/signing_text.h"

namespace {

using Options = std::map<std::string, std::string>;

Options ParseOptions(int argc, char** argv, int first) {
    Options options;
    for (int i = first; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        if (name.rfind("--", 0) == 0) name = name.substr(2);
        options[name] = argv[i + 1];
    }
    return options;
}

std::string Option(const Options& options, const std::string& name, const std::string& fallback = "") {
    const auto found = options.find(name);
    return found == options.end() ? fallback : found->second;
}

[[noreturn]] void Fail(const std::string& why) {
    std::cerr << "bench_host: " << why << "\n";
    std::exit(1);
}

std::map<std::string, std::string> HostEnvironment(const Options& options, const std::string& stateDir) {
    return {{"TOKEN_HOST_MODULE", Option(options, "module", SOFTTOKEN_MODULE)}, {"SOFTTOKEN_DIR", stateDir}};
}

double Percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

int ColdStart(const Options& options) {
    const int runs = std::max(1, std::atoi(Option(options, "runs", "101").c_str()));
    const std::string request = R"({"ZEKA":"GetVersion","tabID":1})";
    std::vector<double> millis;
    for (int i = 0; i < runs; ++i) {
        const Clock::time_point start = Clock::now();
        HostDriver host(Option(options, "host", TOKEN_HOST_BINARY),
                        HostEnvironment(options, Option(options, "state", "/nonexistent")));
        if (!host.Started() || !host.Send(request)) Fail("cannot start the host");
        const Envelope reply = ParseEnvelope(host.Receive());
        millis.push_back(SecondsSince(start) * 1000.0);
        if (!reply.ok || !reply.textIsString) Fail("no version reply");
        host.Finish(nullptr);
    }
    std::printf("coldstart_ms median %.3f p10 %.3f p90 %.3f runs %d\n", Percentile(millis, 0.5),
                Percentile(millis, 0.1), Percentile(millis, 0.9), runs);
    return 0;
}

std::string JsonString(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

int Sign(const Options& options) {
    const std::string p7 = Option(options, "p7");
    const bool toFile = !p7.empty();
    std::string request = std::string(R"({"ZEKA":")") + (toFile ? "GMUsbKeySignFile" : "GMUsbKeySign") +
                          R"(","tabID":7,)" + (toFile ? R"("SignerDN":)" : R"("DeSignerDN":)") +
                          JsonString(Option(options, "dn")) + R"(,"HashName":)" + JsonString(Option(options, "hash")) +
                          R"(,"XmlMsg":)" + JsonString(Option(options, "xml", "<T><Amount>1.00</Amount></T>")) +
                          R"(,"KeyMsg":)" + JsonString(Option(options, "key", "Pay 1.00")) + R"(,"FilePath":)" +
                          JsonString(Option(options, "file"));
    if (toFile) request += R"(,"FileP7Path":)" + JsonString(p7);
    request += "}";

    HostDriver host(Option(options, "host", TOKEN_HOST_BINARY), HostEnvironment(options, Option(options, "state")));
    if (!host.Started() || !host.Send(R"({"ZEKA":"GetMediaID","tabID":1})")) Fail("cannot start the host");
    const Envelope media = ParseEnvelope(host.Receive());
    if (!media.ok || !media.textIsString) Fail("no token: GetMediaID answered " + std::string(media.text));

    const Clock::time_point start = Clock::now();
    host.Send(request);
    std::string result;
    for (;;) {
        const std::string body = host.Receive();
        const Envelope piece = ParseEnvelope(body);
        if (!piece.ok) Fail("the host's output ended");
        if (!piece.textIsString) {
            if (toFile && piece.text == "0") break;
            Fail("signing failed with " + std::string(piece.text));
        }
        result.append(piece.text);
        if (piece.lastData) break;
        host.Send(R"({"ZEKA":"GetMoreData","tabID":7})");
    }
    const double seconds = SecondsSince(start);
    rusage usage{};
    if (!host.Finish(&usage)) Fail("the host did not end cleanly");

    const std::string save = Option(options, "save");
    if (!save.empty()) std::ofstream(save, std::ios::binary) << result;
    // The host's processor time over its whole life: steadier than the wall
    // time on a shared machine, though it includes the start and the
    // module's first initialisation.
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("sign_s %.4f maxrss_kb %ld result_bytes %zu cpu_s %.4f\n", seconds, usage.ru_maxrss, result.size(),
                cpu);
    return 0;
}

int Text(const Options& options) {
    // The signing text needs no token; its texts go as UTF-8.
    std::string text;
    const long rc = MakeTLVSignFile(true, Option(options, "xml", "<T><Amount>1.00</Amount></T>").c_str(),
                                    Option(options, "key", "Pay 1.00").c_str(), Option(options, "file"), text,
                                    Option(options, "format", "02") == "01");
    if (rc != 0) Fail("signing text failed with " + std::to_string(rc));
    std::ofstream out(Option(options, "out"), std::ios::binary);
    out << text;
    return out ? 0 : 1;
}

// The PEM of the first private key of the algorithm in the token's state.
int Key(const Options& options) {
    std::ifstream in(Option(options, "state") + "/token1.json");
    Json::Value token;
    if (!(in >> token)) Fail("no token state");
    const bool wantRsa = Option(options, "alg", "rsa") == "rsa";
    for (const Json::Value& object : token["objects"]) {
        const std::string pem = object["privateKeyPem"].asString();
        if (pem.empty()) continue;
        BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
        EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
        const bool parsed = key != nullptr;
        const bool isRsa = parsed && EVP_PKEY_is_a(key, "RSA");
        EVP_PKEY_free(key);
        if (!parsed || isRsa != wantRsa) continue;
        std::ofstream out(Option(options, "out"));
        out << pem;
        return out ? 0 : 1;
    }
    Fail("no such key");
}

int OpenSsl(const Options& options) {
    const std::string work = Option(options, "work", ".");
    const std::string der = work + "/openssl.der";
    const std::string base64 = work + "/openssl.b64";
    rusage signUsage{}, encodeUsage{};
    const Clock::time_point start = Clock::now();
    const int signRc = RunProgram({"openssl", "cms", "-sign", "-binary", "-nodetach", "-in", Option(options, "text"),
                                   "-signer", Option(options, "cert"), "-inkey", Option(options, "key"), "-md",
                                   Option(options, "md", "sha256"), "-outform", "DER", "-out", der},
                                  &signUsage);
    const int encodeRc = RunProgram({"openssl", "base64", "-A", "-in", der, "-out", base64}, &encodeUsage);
    const double seconds = SecondsSince(start);
    if (signRc != 0 || encodeRc != 0) Fail("openssl failed");
    std::printf("openssl_s %.4f maxrss_kb %ld\n", seconds, std::max(signUsage.ru_maxrss, encodeUsage.ru_maxrss));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) Fail("usage: bench_host coldstart|sign|text|openssl [--option value]...");
    const std::string command = argv[1];
    const Options options = ParseOptions(argc, argv, 2);
    if (command == "coldstart") return ColdStart(options);
    if (command == "sign") return Sign(options);
    if (command == "text") return Text(options);
    if (command == "key") return Key(options);
    if (command == "openssl") return OpenSsl(options);
    Fail("unknown command " + command);
}
