// tarn_fixtures - TARN map bytes and bzip2 archives for whole-program tests of the map
// lookups and of tarn_update.
//
// Exports: map_of, bzip2_of.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tarn/tarn_map_writer.h"
#include "tests/e2e/sandbox.h"

namespace korvex::testing {

// map_of - the bytes of a map listing the given blocks ("a.b.c.d", "a.b.c.*", ...).
inline std::string map_of(const std::vector<std::string>& blocks) {
  tarn_map_builder builder;
  for (const std::string& text : blocks) {
    tarn_block block{};
    EXPECT_TRUE(tarn_parse_block(text, &block)) << text;
    builder.add(block);
  }
  const std::vector<unsigned char> bytes = builder.serialize();
  return {bytes.begin(), bytes.end()};
}

// bzip2_of - contents compressed by the system's bzip2, as a mirror serves a map.
inline std::string bzip2_of(const std::string& contents) {
  const RunResult run = run_program({"/bin/bzip2", "-c"}, {.input = contents});
  EXPECT_TRUE(run.exited_with(0)) << run.describe();
  return run.out;
}

}  // namespace korvex::testing
