// bench_host: end-to-end measurements of token-host with the software token.
//
// "sign" and "coldstart" take --host PATH and --module PATH to time other
// builds of the host and of the software token.
//
//   bench_host coldstart --runs N
//       process start to the "GetVersion" reply; prints median, p10, p90 (ms),
//       and, interleaved with it, the start and reap of /bin/true (the floor
//       any program starts from on this machine)
//   bench_host sign --state DIR --dn DN [--file PATH] [--hash H] [--p7 PATH] [--save PATH]
//                   [--request-bytes N]
//       one "GMUsbKeySign" (or, with --p7, "GMUsbKeySignFile") in a fresh
//       host, timed from the request to the last reply, after a "GetMediaID"
//       that takes the module's start-up pause; prints seconds, the host's
//       peak resident kilobytes and processor time, and the result's size.
//       --request-bytes fills "XmlMsg" with XML until the request is N bytes
//   bench_host text --file PATH --xml X --key K --format 01|02 --out PATH
//       the signing text the host builds for that input, for OpenSSL to sign
//   bench_host key --state DIR --alg rsa|sm2 --out PEM
//       the private key of the software token's first key of that algorithm
//   bench_host openssl --text PATH --cert PEM --key PEM --md MD --work DIR
//       "openssl cms -sign" of the text, then "openssl base64 -A" of its
//       DER; prints seconds, the larger peak resident kilobytes and the
//       processor time of both
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

// Processor time, user and system.
double CpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Start and reap of a program that does nothing, started the way the host is.
double FloorMillis(const Options& options) {
    const Clock::time_point start = Clock::now();
    ChildProcess child(PipedChild({"/bin/true"}, HostEnvironment(options, "/nonexistent")));
    if (!child.Started() || !child.Wait()) Fail("cannot run /bin/true");
    return SecondsSince(start) * 1000.0;
}

int ColdStart(const Options& options) {
    const int runs = std::max(1, std::atoi(Option(options, "runs", "101").c_str()));
    const std::string request = R"({"ZEKA":"GetVersion","tabID":1})";
    std::vector<double> millis, floor;
    for (int i = 0; i < runs; ++i) {
        floor.push_back(FloorMillis(options));
        const Clock::time_point start = Clock::now();
        HostDriver host(Option(options, "host", TOKEN_HOST_BINARY),
                        HostEnvironment(options, Option(options, "state", "/nonexistent")));
        if (!host.Started() || !host.Send(request)) Fail("cannot start the host");
        const Envelope reply = ParseEnvelope(host.Receive());
        millis.push_back(SecondsSince(start) * 1000.0);
        if (!reply.ok || !reply.textIsString) Fail("no version reply");
        host.Finish(nullptr);
    }
    std::printf("coldstart_ms median %.3f p10 %.3f p90 %.3f floor_ms %.3f floor_p10 %.3f floor_p90 %.3f runs %d\n",
                Percentile(millis, 0.5), Percentile(millis, 0.1), Percentile(millis, 0.9), Percentile(floor, 0.5),
                Percentile(floor, 0.1), Percentile(floor, 0.9), runs);
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

// XML with quoted attributes (escaped in JSON, as a page's would be), as
// JSON text of exactly size bytes; empty when size cannot hold its frame.
std::string XmlOfJsonSize(size_t size) {
    const std::string open = R"(<T>)", padOpen = R"(<P>)", close = R"(</P></T>)";
    const std::string item = R"(<Item n=\"1\" amount=\"1.00\">Payment to A. Person, invoice 4711</Item>)";
    const size_t fixed = open.size() + padOpen.size() + close.size();
    if (size < fixed) return std::string();
    const size_t items = (size - fixed) / item.size();
    std::string xml = open;
    xml.reserve(size);
    for (size_t i = 0; i < items; ++i) xml += item;
    xml += padOpen;
    xml.append(size - fixed - items * item.size(), 'x');
    return xml + close;
}

// The signing request the options describe.
std::string SignRequest(const Options& options) {
    const bool toFile = !Option(options, "p7").empty();
    const std::string head = std::string(R"({"ZEKA":")") + (toFile ? "GMUsbKeySignFile" : "GMUsbKeySign") +
                             R"(","tabID":7,)" + (toFile ? R"("SignerDN":)" : R"("DeSignerDN":)") +
                             JsonString(Option(options, "dn")) + R"(,"HashName":)" +
                             JsonString(Option(options, "hash")) + R"(,"XmlMsg":)";
    std::string tail = R"(,"KeyMsg":)" + JsonString(Option(options, "key", "Pay 1.00")) + R"(,"FilePath":)" +
                       JsonString(Option(options, "file"));
    if (toFile) tail += R"(,"FileP7Path":)" + JsonString(Option(options, "p7"));
    tail += "}";
    const size_t requestBytes = std::strtoull(Option(options, "request-bytes", "0").c_str(), nullptr, 10);
    if (requestBytes == 0) return head + JsonString(Option(options, "xml", "<T><Amount>1.00</Amount></T>")) + tail;
    const size_t around = head.size() + tail.size() + 2;
    std::string request = head + "\"" + XmlOfJsonSize(requestBytes > around ? requestBytes - around : 0) + "\"" + tail;
    if (request.size() != requestBytes) Fail("--request-bytes too small");
    return request;
}

int Sign(const Options& options) {
    const bool toFile = !Option(options, "p7").empty();
    // Started first: a child's peak memory counts its parent's while the two
    // share it, up to the start of the host program.
    HostDriver host(Option(options, "host", TOKEN_HOST_BINARY), HostEnvironment(options, Option(options, "state")));
    if (!host.Started() || !host.Send(R"({"ZEKA":"GetMediaID","tabID":1})")) Fail("cannot start the host");
    const Envelope media = ParseEnvelope(host.Receive());
    if (!media.ok || !media.textIsString) Fail("no token: GetMediaID answered " + std::string(media.text));
    std::string request = SignRequest(options);

    const Clock::time_point start = Clock::now();
    host.Send(request);
    const size_t sentBytes = request.size();
    request = std::string();
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
    std::printf("sign_s %.4f maxrss_kb %ld result_bytes %zu cpu_s %.4f request_bytes %zu\n", seconds,
                usage.ru_maxrss, result.size(), CpuSeconds(usage), sentBytes);
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
    std::printf("openssl_s %.4f maxrss_kb %ld cpu_s %.4f\n", seconds, std::max(signUsage.ru_maxrss, encodeUsage.ru_maxrss),
                CpuSeconds(signUsage) + CpuSeconds(encodeUsage));
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
