// Stands in for the fleet engine until it lands: it refuses to start, so
// that the windows build and say why nothing is served.
#include "fleet/fleet.h"

#include <utility>


FleetEngine::FleetEngine(FleetJob, std::string) {}
FleetEngine::~FleetEngine() = default;
bool FleetEngine::Start(std::string& message, std::string& reason) {
  message = "Станция пока не может обслуживать преобразователи";
  reason.clear();
  return false;
}
void FleetEngine::Poll(std::vector<FleetEvent>&) {}
void FleetEngine::RequestStop() {}
int FleetEngine::StopRequests() const { return 0; }
bool FleetEngine::Finished() const { return true; }
