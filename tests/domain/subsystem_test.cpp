#include "domain/subsystem.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace kv {
namespace {

class TRecorded : public TSubsystem {
 public:
  TRecorded(std::string name, std::vector<std::string>& log, bool fail_open = false)
      : name_(std::move(name)), log_(log), fail_open_(fail_open) {}
  std::string_view Name() const override { return name_; }
  void Open() override {
    if (fail_open_) throw std::runtime_error(name_ + " cannot open");
    log_.push_back("open " + name_);
  }
  void Start() override { log_.push_back("start " + name_); }
  void Stop() override { log_.push_back("stop " + name_); }
  void Close() override { log_.push_back("close " + name_); }

 private:
  std::string name_;
  std::vector<std::string>& log_;
  bool fail_open_;
};

TEST(SubsystemList, OpensInOrderAndClosesInReverseOnceOnly) {
  std::vector<std::string> log;
  {
    TSubsystemList list;
    list.Add(std::make_unique<TRecorded>("a", log));
    list.Add(std::make_unique<TRecorded>("b", log));
    list.OpenAll();
    list.StartAll();
    list.StopAll();
    list.CloseAll();
    list.CloseAll();
  }
  EXPECT_EQ(log, (std::vector<std::string>{"open a", "open b", "start a", "start b", "stop b", "stop a",
                                           "close b", "close a"}));
}

TEST(SubsystemList, AFailedOpenClosesWhatOpenedBeforeItAndNothingAfter) {
  std::vector<std::string> log;
  TSubsystemList list;
  list.Add(std::make_unique<TRecorded>("a", log));
  list.Add(std::make_unique<TRecorded>("b", log, true));
  list.Add(std::make_unique<TRecorded>("c", log));
  EXPECT_THROW(list.OpenAll(), std::runtime_error);
  list.CloseAll();
  EXPECT_EQ(log, (std::vector<std::string>{"open a", "close a"}));
}

}  // namespace
}  // namespace kv
