// telemetry-relay: relays the racing simulator's live telemetry to every TCP
// client on port 6667. It takes no arguments and runs until it is killed.
#include "clients/client_service.h"
#include "relay/relay_loop.h"

int main() {
  static relay::Relay relay;
  relay::SetUp(relay, clients::kPort);
  for (;;) relay::RunTurn(relay);
}
