// Recording fakes for message boxes and sleeping.
#ifndef DTU_TESTS_SUPPORT_FAKE_SEAMS_H
#define DTU_TESTS_SUPPORT_FAKE_SEAMS_H

#include <functional>
#include <string>
#include <vector>

#include "form/seams.h"

class FakeBoxes final : public MessageBoxes {
 public:
  struct Box {
    std::string text;
    bool hasCaption = false;
    std::string caption;
    BoxOwner owner = BoxOwner::None;
    unsigned codePage = 0;
  };
  void Show(const char* text, const char* caption, BoxOwner owner, unsigned codePage) override {
    Box box;
    box.text = text;
    box.hasCaption = caption != nullptr;
    box.caption = caption != nullptr ? caption : "";
    box.owner = owner;
    box.codePage = codePage;
    shown.push_back(box);
    // Runs while the box is "open", as the platform keeps ticks going then.
    if (whileOpen) {
      whileOpen(box);
    }
  }
  std::vector<Box> shown;
  std::function<void(const Box&)> whileOpen;
};

class FakeSleeper final : public Sleeper {
 public:
  void Sleep(unsigned milliseconds) override {
    now += milliseconds;
    sleeps.push_back(milliseconds);
    if (onSleep) {
      onSleep(milliseconds);
    }
  }
  unsigned long long now = 0;
  std::vector<unsigned> sleeps;
  std::function<void(unsigned)> onSleep;
};

#endif
