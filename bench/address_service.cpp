// The address service over HTTP on loopback: 1,000 claims (each durable
// before its answer) from distinct client addresses, then 10,000 visitor
// redirects, each over one kept-alive connection, one request at a time.
// Prints requests per second and the p50/p99 latency of each, per run, and
// the medians of the runs. The database goes in the working folder: run it
// from a folder on the disk a service would use.
//
//   address_service [runs = 3] [claims = 1000] [redirects = 10000]

#include "http_front.h"

#include <algorithm>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace lantern::addressd;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

struct Figures {
    double perSecond, p50, p99; // requests per second; milliseconds
};

// Requests are sent one at a time, so the rate is one over the mean latency.
Figures figures(std::vector<double> latencies) {
    double total = 0;
    for (const auto latency : latencies)
        total += latency;
    std::sort(latencies.begin(), latencies.end());
    return {latencies.size() * 1000.0 / total, latencies[latencies.size() / 2],
            latencies[latencies.size() * 99 / 100]};
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One run against a fresh database; {claims, redirects}.
std::pair<Figures, Figures> run(int claims, int redirects) {
    // In the working folder, so that the database is on a real disk.
    char pattern[] = "addressd-bench-XXXXXX";
    const std::filesystem::path folder = ::mkdtemp(pattern);
    Config config;
    config.database = (folder / "addresses.db").string();
    config.claimsPerHour = 1;
    config.trustedProxies = {"127.0.0.1"};
    config.allowedOrigins = {"http://127.0.0.1:8000"};
    AddressService service(config);
    boost::asio::io_context io(1);
    HttpFront front(io, service, "127.0.0.1", 0);
    std::thread server([&] { io.run(); });

    boost::asio::io_context clientIO;
    tcp::socket socket(clientIO);
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), front.port()});
    boost::beast::flat_buffer buffer;
    const auto ask = [&](http::verb verb, const std::string& target, const std::string& body,
                         const std::string& client) {
        http::request<http::string_body> request(verb, target, 11);
        request.set(http::field::host, "127.0.0.1");
        request.set(http::field::content_type, "application/json");
        request.set("X-Forwarded-For", client);
        request.body() = body;
        request.prepare_payload();
        http::write(socket, request);
        http::response<http::string_body> response;
        http::read(socket, buffer, response);
        return response;
    };

    std::vector<std::string> paths;
    std::vector<double> latencies;
    for (int i = 0; i < claims; ++i) {
        const auto start = Clock::now();
        const auto response =
            ask(http::verb::post, "/api/claim", R"({"showLast":false})",
                "198.18." + std::to_string(i / 256) + "." + std::to_string(i % 256));
        latencies.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (response.result_int() != 201) {
            std::fprintf(stderr, "claim %d answered %d\n", i, response.result_int());
            std::exit(1);
        }
        const auto reply = nlohmann::json::parse(response.body());
        paths.push_back(reply["path"]);
        ask(http::verb::put, "/api/live",
            nlohmann::json{{"url", "http://127.0.0.1:8000"},
                           {"name", "Bench"},
                           {"path", reply["path"]},
                           {"secret", reply["secret"]}}
                .dump(),
            "x");
    }
    const auto claimed = figures(latencies); // the announcements between them are not counted

    latencies.clear();
    for (int i = 0; i < redirects; ++i) {
        const auto start = Clock::now();
        const auto response = ask(http::verb::get, paths[i % paths.size()], "", "x");
        latencies.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (response.result_int() != 302) {
            std::fprintf(stderr, "visit %d answered %d\n", i, response.result_int());
            std::exit(1);
        }
    }
    const auto visited = figures(latencies);
    socket.close();
    io.stop();
    server.join();
    std::filesystem::remove_all(folder);
    return {claimed, visited};
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 3;
    const int claims = argc > 2 ? std::atoi(argv[2]) : 1000;
    const int redirects = argc > 3 ? std::atoi(argv[3]) : 10000;
    std::vector<double> claimRate, claimP50, claimP99, visitRate, visitP50, visitP99;
    for (int i = 0; i < runs; ++i) {
        const auto [claimed, visited] = run(claims, redirects);
        std::printf("run %d: %d claims %.0f/s p50 %.2f ms p99 %.2f ms; %d redirects %.0f/s p50 "
                    "%.3f ms p99 %.3f ms\n",
                    i + 1, claims, claimed.perSecond, claimed.p50, claimed.p99, redirects,
                    visited.perSecond, visited.p50, visited.p99);
        claimRate.push_back(claimed.perSecond);
        claimP50.push_back(claimed.p50);
        claimP99.push_back(claimed.p99);
        visitRate.push_back(visited.perSecond);
        visitP50.push_back(visited.p50);
        visitP99.push_back(visited.p99);
    }
    std::printf("median: claims %.0f/s p50 %.2f ms p99 %.2f ms; redirects %.0f/s p50 %.3f ms p99 "
                "%.3f ms\n",
                median(claimRate), median(claimP50), median(claimP99), median(visitRate),
                median(visitP50), median(visitP99));
}
