// One reset for every fake of the platform.
#include "fakes/fake-platform.h"

#include "base/status.h"
#include "fakes/fake-backdoor.h"
#include "fakes/fake-console.h"
#include "fakes/fake-files.h"
#include "fakes/fake-base.h"
#include "fakes/fake-volume.h"

void FakePlatformReset() {
  FakeBackdoorReset();
  FakeVolumeReset();
  FakeFilesReset();
  FakeConsoleReset();
  FakeBaseReset();
  g_verbosity = 1;
}
