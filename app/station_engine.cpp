// The station over the fleet engine: apart from the logic, so that a program
// that feeds the logic recorded events needs no engine.
#include "app/station_logic.h"

#include <utility>

namespace {

class EngineFleet : public StationFleet {
 public:
  EngineFleet(const FleetJob& job, const std::string& workerProgram) : engine_(job, workerProgram) {}
  bool Start(std::string& message, std::string& reason) override { return engine_.Start(message, reason); }
  void Poll(std::vector<FleetEvent>& events) override { engine_.Poll(events); }
  void RequestStop() override { engine_.RequestStop(); }

 private:
  FleetEngine engine_;
};

}  // namespace

StationLogic::StationLogic(StationView& view, std::string workerProgram)
    : StationLogic(view, [program = std::move(workerProgram)](const FleetJob& job) {
        return std::unique_ptr<StationFleet>(new EngineFleet(job, program));
      }) {}
