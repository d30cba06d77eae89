// Sessions: the engine's configured databases (aliases) and the databases a
// program defines for itself.
//
// An alias names a directory of tables. Aliases live in a plain-text file,
// one per line:  NAME  DRIVER  DIRECTORY  (DIRECTORY is the rest of the line
// and may hold blanks; '#' starts a comment line). The file is found through
// the environment variable VELLUM_CONFIG, else $XDG_CONFIG_HOME/vellum/
// aliases.conf, else ~/.config/vellum/aliases.conf. A missing file means no
// aliases. Names compare without regard to letter case.
//
// A program can also define a database of its own with a directory driver and
// a PATH parameter (the dictionary's "DataDict"); it is disconnected, given a
// new PATH and connected again.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/fs/file_system.h"

namespace vellum::engine {

struct DatabaseDesc {
  std::string name;
  std::string type;  // driver type, e.g. "STANDARD"
  std::string path;  // directory
};

// The alias configuration file. Parse errors raise EDBEngineError (invalid
// request) naming the file and the line number.
class AliasConfig {
 public:
  static std::string DefaultPath();
  static AliasConfig Load(const std::string& path, FileSystem& fs = FileSystem::Default());
  void save(const std::string& path, FileSystem& fs = FileSystem::Default()) const;

  const std::vector<DatabaseDesc>& aliases() const { return aliases_; }
  const DatabaseDesc* find(const std::string& name) const;
  // Adds an alias; an existing alias of that name raises an error.
  void add(const DatabaseDesc& alias);
  // Removes an alias; false when there was none.
  bool remove(const std::string& name);

 private:
  std::vector<DatabaseDesc> aliases_;
};

// A database defined by the program: a name, a directory driver and PATH.
class Database {
 public:
  Database(std::string name, std::string driver = "STANDARD");
  const std::string& name() const { return name_; }
  const std::string& driver() const { return driver_; }
  bool loginPrompt() const { return false; }
  bool connected() const { return connected_; }
  // Parameters can be set only while disconnected.
  void setParam(const std::string& key, const std::string& value);
  std::string param(const std::string& key) const;
  // Connecting checks that PATH is a directory.
  void connect(FileSystem& fs = FileSystem::Default());
  void disconnect() { connected_ = false; }
  std::string directory() const { return param("PATH"); }

 private:
  std::string name_;
  std::string driver_;
  std::map<std::string, std::string> params_;
  bool connected_ = false;
};

class Session {
 public:
  explicit Session(std::string config_path = AliasConfig::DefaultPath(),
                   FileSystem& fs = FileSystem::Default());

  // The configured databases, read from the alias file at each call. A file
  // that cannot be read or holds a malformed line raises its error
  // (EDBEngineError naming the file and, for a bad line, its number), so
  // that every command that looks an alias up says what is wrong with the
  // file rather than that the alias is unknown.
  //
  // Every configured database with name and type, in the file's order.
  std::vector<DatabaseDesc> databaseList();
  bool isAlias(const std::string& name);
  // An alias's directory; empty text when there is no such alias.
  std::string aliasPath(const std::string& name);
  // Directory of a database named by a program database, an alias or a path.
  std::string resolveDirectory(const std::string& database);
  // Table names (without extension) of "*.DB" in an alias or directory.
  std::vector<std::string> tableNames(const std::string& database);

  // Program databases (e.g. "DataDict").
  Database& addDatabase(const std::string& name, const std::string& driver = "STANDARD");
  Database* findDatabase(const std::string& name);

  const std::string& configPath() const { return config_path_; }
  FileSystem& fs() { return *fs_; }
  // How long a change of a table opened through this session waits for
  // another program's change of it to end before it fails with a lock
  // conflict.
  int lockWaitMs() const { return lock_wait_ms_; }
  void setLockWaitMs(int ms) { lock_wait_ms_ = ms; }

  // The passwords of encrypted tables given to the session, in the order
  // given: every table opened through it tries them all (see
  // paradox::OpenOptions::passwords). Empty passwords and repeats are not
  // kept. The session never asks for one itself.
  void addPassword(const std::string& password);
  const std::vector<std::string>& passwords() const { return passwords_; }

 private:
  std::string config_path_;
  FileSystem* fs_;
  int lock_wait_ms_ = 10000;
  std::vector<std::string> passwords_;
  std::vector<std::unique_ptr<Database>> databases_;
};

}  // namespace vellum::engine
