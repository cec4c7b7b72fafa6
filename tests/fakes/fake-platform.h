// One reset for every fake of the platform, for tests of a whole run.
#ifndef SHRINK_TESTS_FAKES_FAKE_PLATFORM_H_
#define SHRINK_TESTS_FAKES_FAKE_PLATFORM_H_

/// Resets the host, volumes, files, console and driver fakes, and sets g_verbosity to 1.
void FakePlatformReset();

#endif  // SHRINK_TESTS_FAKES_FAKE_PLATFORM_H_
