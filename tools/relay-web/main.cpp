// relay-web: telemetry-relay's stream for browsers. A client of the relay
// like relay-watch, it serves a dashboard page, a WebSocket feed of JSON
// messages and the latest values on one HTTP port, so a phone or tablet on
// the LAN shows the telemetry with nothing installed.
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <cstdio>
#include <exception>
#include <string>

#include "relay-web/options.h"
#include "relay-web/relay_link.h"
#include "relay-web/simulator_link.h"
#include "relay-web/web_server.h"

namespace {

int Run(const web::Options& options) {
  boost::asio::io_context io(1);
  const web::Source source = options.relay ? web::Source::kRelay : web::Source::kSimulator;
  web::WebServer server(io, source, options.perClient);
  server.SetMaxMessage(options.maxMessage);
  const std::string listenName = options.listenAddress + ":" + std::to_string(options.listenPort);
  boost::system::error_code ec;
  const boost::asio::ip::address address = boost::asio::ip::make_address(options.listenAddress, ec);
  if (ec) {
    std::fprintf(stderr, "relay-web: cannot listen on %s: not a numeric IP address\n",
                 listenName.c_str());
    return 1;
  }
  std::string error;
  if (!server.Listen({address, options.listenPort}, &error)) {
    std::fprintf(stderr, "relay-web: cannot listen on %s: %s\n", listenName.c_str(), error.c_str());
    return 1;
  }
  const auto local = server.LocalEndpoint();
  // Where a browser on this machine finds the page.
  std::string shown = local.address().to_string();
  if (local.address().is_unspecified()) shown = local.address().is_v4() ? "127.0.0.1" : "::1";
  if (shown.find(':') != std::string::npos) shown.insert(0, 1, '[').push_back(']');
  std::printf("relay-web: serving http://%s:%u/ (WebSocket feed /ws, snapshot /api/latest)%s\n",
              shown.c_str(), static_cast<unsigned>(local.port()),
              local.address().is_unspecified() ? " on every address of this machine" : "");
  std::fflush(stdout);
  web::Feed feed(io, server, options.fuelMargin);
  if (source == web::Source::kRelay) {
    web::RelayLink link(io, options.relayHost, options.relayPort, feed);
    link.Start();
    io.run();
  } else {
    web::SimulatorLink link(io, feed);
    link.Start();
    io.run();
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  web::Options options;
  bool help = false;
  if (!web::ParseOptions(argc, argv, &options, &help)) return 2;
  if (help) {
    std::fputs(web::kUsage, stdout);
    return 0;
  }
  try {
    return Run(options);
  } catch (const std::exception& e) {
    // The libraries' own failures, such as running out of memory.
    std::fprintf(stderr, "relay-web: %s\n", e.what());
    return 1;
  }
}
