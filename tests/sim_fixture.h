// The fixture of every test that runs code inside the simulator: a fresh
// machine, a freshly loaded driver image that has located its services, and a
// check that nothing freed a block it did not own.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/driver_state.h"
#include "driver/globals.h"
#include "sim/sim.h"

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::PowerOn();
    ResetDriverState();
    InitializeServiceTables(nullptr, sim::SystemTable());
  }

  void TearDown() override {
    std::vector<std::string> Errors = sim::TakePoolErrors();
    std::string Text;
    for (const std::string &E : Errors) Text += E + "\n";
    EXPECT_TRUE(Errors.empty()) << Text;
  }

  static EFI_BOOT_SERVICES *Bs() { return sim::SystemTable()->BootServices; }
  static EFI_RUNTIME_SERVICES *Rt() { return sim::SystemTable()->RuntimeServices; }
};
