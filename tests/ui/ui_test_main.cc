#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

// Every window test runs in one QApplication on the offscreen platform, so the
// tests need no display, wherever and as whoever they run.
int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  ::testing::InitGoogleTest(&argc, argv);
  QApplication application(argc, argv);
  Q_INIT_RESOURCE(images);
  return RUN_ALL_TESTS();
}
