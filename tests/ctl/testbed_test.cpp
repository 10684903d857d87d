// rs485ctl without --port, in a umockdev testbed that holds the converter:
// runs ctl_testbed_probe under umockdev-wrapper.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "ctl_fixture.h"
#include "support/child_process.h"

namespace {

// Runs the probe's test of that name under umockdev-wrapper.
void RunProbe(const std::string& test) {
  const std::string probe = RS485_CTL_TESTBED_PROBE;
  if (probe.empty()) GTEST_SKIP() << "built without libumockdev-dev: no testbed probe";
  const std::string wrapper = FindProgram("umockdev-wrapper");
  if (wrapper.empty()) GTEST_SKIP() << "umockdev-wrapper is not installed (Debian package umockdev)";
  // The sanitizer runtime would insist on coming before umockdev's preload
  // library, in the probe and in the rs485ctl it starts.
  std::string asan = "verify_asan_link_order=0";
  if (const char* old = std::getenv("ASAN_OPTIONS")) asan = std::string(old) + ":" + asan;
  setenv("ASAN_OPTIONS", asan.c_str(), 1);

  CtlRunOptions options;
  options.timeoutMs = 90000;
  const std::string filter = test.find('.') == std::string::npos ? "CtlInTestbed." + test : test;
  const CtlRun run = RunProgram({wrapper, probe, "--gtest_filter=" + filter}, options);
  if (run.exitCode == 77) GTEST_SKIP() << "umockdev cannot run here: " << run.out;
  EXPECT_EQ(run.exitCode, 0) << Describe(run);
  EXPECT_NE(run.out.find("[  PASSED  ] 1 test"), std::string::npos) << Describe(run);
}

}  // namespace

TEST(CtlTestbed, EveryCommandFindsTheConverterByItself) { RunProbe("EveryCommandFindsTheConverterByItself"); }

TEST(CtlTestbed, AnUpdateFollowsTheConverterAndNeverAnotherDevice) {
  RunProbe("AnUpdateFollowsTheConverterAndNeverAnotherDevice");
}

TEST(CtlTestbed, RecordsOnALineAtTheConvertersSpeedAreAcknowledged) {
  RunProbe("RecordsOnALineAtTheConvertersSpeedAreAcknowledged");
}

TEST(CtlTestbed, DoctorTellsWhatKeepsTheConverterFromBeingUsed) { RunProbe("DoctorTellsWhatKeepsTheConverterFromBeingUsed"); }

TEST(CtlTestbed, OneIsChosenBySerialOrPlaceAndNeverTheFirstOfSeveral) {
  RunProbe("CtlConverters.OneIsChosenBySerialOrPlaceAndNeverTheFirstOfSeveral");
}

TEST(CtlTestbed, OneWithoutASerialPortIsListedAndFailsWithItsReason) {
  RunProbe("CtlConverters.OneWithoutASerialPortIsListedAndFailsWithItsReason");
}

TEST(CtlTestbed, AllServesEveryConverterAtOnceAndEndsWithTheWorstCode) {
  RunProbe("CtlConverters.AllServesEveryConverterAtOnceAndEndsWithTheWorstCode");
}

TEST(CtlTestbed, AllTracesEveryConverterInWholeLines) { RunProbe("CtlConverters.AllTracesEveryConverterInWholeLines"); }

TEST(CtlTestbed, AnUpdateFollowsItsConverterWhenTheNamesSwap) {
  RunProbe("CtlConverters.AnUpdateFollowsItsConverterWhenTheNamesSwap");
}

TEST(CtlTestbed, WatchServesEachNewUnitOnceUntilItIsUnpluggedAndEndsInOrder) {
  RunProbe("CtlConverters.WatchServesEachNewUnitOnceUntilItIsUnpluggedAndEndsInOrder");
}

TEST(CtlTestbed, AStopRequestToRs485ctlAloneReachesEveryWorker) {
  RunProbe("CtlConverters.AStopRequestToRs485ctlAloneReachesEveryWorker");
}

TEST(CtlTestbed, TwoStopRequestsEndAtOnceWithTheConvertersOutOfTheUpdateMode) {
  RunProbe("CtlConverters.TwoStopRequestsEndAtOnceWithTheConvertersOutOfTheUpdateMode");
}

TEST(CtlTestbed, AWorkerThatDiesGetsAWholeResultAndItsConverterLeavesTheUpdateMode) {
  RunProbe("CtlConverters.AWorkerThatDiesGetsAWholeResultAndItsConverterLeavesTheUpdateMode");
}

TEST(CtlTestbed, EveryMessageTellsTwinsApartAndSaysWhatWasDone) {
  RunProbe("CtlConverters.EveryMessageTellsTwinsApartAndSaysWhatWasDone");
}

TEST(CtlTestbed, AllJournalsEveryUnitWithItsIdentityAndImage) {
  RunProbe("CtlConverters.AllJournalsEveryUnitWithItsIdentityAndImage");
}

TEST(CtlTestbed, WatchStopsBeforeTheNextUnitWhenItsLineCannotBeWritten) {
  RunProbe("CtlConverters.WatchStopsBeforeTheNextUnitWhenItsLineCannotBeWritten");
}

TEST(CtlTestbed, APlanWithABadRowIsRefusedBeforeAnyConverterIsTouched) {
  RunProbe("CtlConverters.APlanWithABadRowIsRefusedBeforeAnyConverterIsTouched");
}

TEST(CtlTestbed, APlanGivesEachConverterItsOwnRowAndLeavesTheOthersAlone) {
  RunProbe("CtlConverters.APlanGivesEachConverterItsOwnRowAndLeavesTheOthersAlone");
}

TEST(CtlTestbed, AnAuditFindsTheOneFieldChangedByHandAndWritesNothing) {
  RunProbe("CtlConverters.AnAuditFindsTheOneFieldChangedByHandAndWritesNothing");
}
