#include "app/station_logic.h"

#include <utility>

struct StationLogic::Run {};

StationLogic::StationLogic(StationView& view, std::string workerProgram) : view_(view) { (void)workerProgram; }
StationLogic::StationLogic(StationView& view, StationFleetMaker maker) : view_(view), maker_(std::move(maker)) {}
StationLogic::~StationLogic() = default;
bool StationLogic::Start(const StationChoices&) { return false; }
void StationLogic::StopClick() {}
void StationLogic::Tick() {}
bool StationLogic::CloseRequested() { return true; }
bool StationLogic::Running() const { return false; }
const std::vector<StationSlot>& StationLogic::Slots() const { return slots_; }
int32_t StationLogic::Good() const { return good_; }
int32_t StationLogic::Failed() const { return failed_; }
const char* StationColumnTitle(StationColumn) { return ""; }
std::string StationCellText(const StationSlot&, StationColumn) { return {}; }
bool StationLocationBefore(const std::string& a, const std::string& b) { return a < b; }
FormArguments WindowParseArguments(const std::vector<std::string>& args, WindowArguments& parsed, std::string& error) {
  return FormParseArguments(args, parsed.port, error);
}
std::string StationWorkerProgram() { return {}; }
