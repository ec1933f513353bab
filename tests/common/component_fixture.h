// Test fixture for the component: a module folder (this process's QENDIX_MODULE_DIR), a Trust
// Center directory cache, an invoice folder and a work directory in a private temp folder, and a
// component with an EventRecorder connected.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "common/event_recorder.h"
#include "common/temp_dir.h"
#include "qendix/qendix.h"

namespace qx::testing {

// A centers document with "TC test" and "TC two" (esr "300").
extern const char* const kTestCenters;

std::string ModuleDir();
// Writes `content` as the directory cache qendix.xml of the module folder.
void WriteCenters(const std::string& content = kTestCenters);

// Creates a component through the class registry, as a host does.
RefPtr<IQendix> CreateComponent();

class ComponentTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Creates the component (after the test prepared the module folder) with the two folders set.
  void Create(bool set_folders = true);
  // Starts Read and waits for its end event.
  void RunRead();

  std::string Input(const std::string& name = "") const;
  std::string Work(const std::string& name = "") const;

  TempDir temp_;
  RefPtr<IQendix> q_;
  RefPtr<EventRecorder> events_ = EventRecorder::Create();
  uint32_t cookie_ = 0;
};

}  // namespace qx::testing
