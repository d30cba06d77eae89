// Fuzz target for the alias configuration file: the bytes are the file.
// Beyond "only EDBEngineError": what loads must save and load again to the
// same aliases (name, driver and directory), in the same order.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/fs/memory_file_system.h"
#include "engine/session.h"
#include "fuzz/fuzz_support.h"

using vellum::engine::AliasConfig;
using vellum::engine::MemoryFileSystem;
using vellum::fuzz::Expect;
using vellum::fuzz::Fail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryFileSystem fs;
  fs.addFile("config/aliases.conf", data, size);
  AliasConfig config;
  if (!Expect([&] { config = AliasConfig::Load("config/aliases.conf", fs); })) return 0;
  for (const auto& alias : config.aliases()) {
    if (alias.name.empty() || alias.type.empty() || alias.path.empty()) {
      Fail("an alias loaded with an empty name, driver or directory");
    }
    if (config.find(alias.name) != &alias) Fail("an alias name loaded twice: " + alias.name);
  }
  AliasConfig again;
  const bool reloaded = Expect([&] {
    config.save("saved/aliases.conf", fs);
    again = AliasConfig::Load("saved/aliases.conf", fs);
  });
  if (!reloaded) Fail("saved aliases do not load again");
  if (again.aliases().size() != config.aliases().size()) Fail("saving changed the alias count");
  for (size_t i = 0; i < config.aliases().size(); ++i) {
    const auto& a = config.aliases()[i];
    const auto& b = again.aliases()[i];
    if (a.name != b.name || a.type != b.type || a.path != b.path) {
      Fail("saving changed alias \"" + a.name + "\"");
    }
  }
  return 0;
}
