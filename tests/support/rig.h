// An AppState wired to in-memory fakes, with the form set up as at start.
#ifndef DTU_TESTS_SUPPORT_RIG_H
#define DTU_TESTS_SUPPORT_RIG_H

#include "app/app_state.h"
#include "form/form_lists.h"
#include "support/fake_port.h"
#include "support/fake_seams.h"
#include "support/memory_form.h"

struct Rig {
  Rig() {
    app.form = &form;
    app.port = &port;
    app.boxes = &boxes;
    app.sleeper = &sleeper;
    SetUpForm(form);
  }
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  TestForm form;
  FakePort port;
  FakeBoxes boxes;
  FakeSleeper sleeper;
  AppState app{};
};

#endif
