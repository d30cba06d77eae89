#include "engine/session.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "engine/errors.h"
#include "engine/paradox/table.h"
#include "engine/text.h"

namespace vellum::engine {

namespace {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

bool HasControl(const std::string& s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) < 0x20 && c != '\t') return true;
  }
  return false;
}

bool ValidName(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c == ' ' || c == '\t' || c == '#' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

}  // namespace

std::string AliasConfig::DefaultPath() {
  if (const char* env = std::getenv("VELLUM_CONFIG"); env && *env) return env;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
    return JoinPath(JoinPath(xdg, "vellum"), "aliases.conf");
  }
  const char* home = std::getenv("HOME");
  return JoinPath(JoinPath(JoinPath(home ? home : ".", ".config"), "vellum"), "aliases.conf");
}

AliasConfig AliasConfig::Load(const std::string& path, FileSystem& fs) {
  AliasConfig config;
  if (!fs.exists(path)) return config;
  auto file = fs.open(path, OpenMode::kRead);
  auto bytes = ReadWholeFile(*file);
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    std::string text = Trim(line);
    if (text.empty() || text[0] == '#') continue;
    std::istringstream fields(text);
    std::string name, type;
    fields >> name >> type;
    std::string rest;
    std::getline(fields, rest);
    rest = Trim(rest);
    if (name.empty() || type.empty() || rest.empty()) {
      ThrowInvalid("Alias configuration \"" + path + "\", line " + std::to_string(number) +
                   ": expected NAME DRIVER DIRECTORY");
    }
    // A control character (a NUL, a lone carriage return) would not be saved
    // back as it was read, and no name or directory holds one.
    if (HasControl(text)) {
      ThrowInvalid("Alias configuration \"" + path + "\", line " + std::to_string(number) +
                   ": a control character in the alias, its driver or its directory");
    }
    if (config.find(name)) {
      // NOLINTBEGIN(performance-inefficient-string-concatenation): a message, built once on failure
      ThrowInvalid("Alias configuration \"" + path + "\", line " + std::to_string(number) +
                   ": alias \"" + name + "\" is defined twice");
      // NOLINTEND(performance-inefficient-string-concatenation)
    }
    config.aliases_.push_back(DatabaseDesc{name, type, rest});
  }
  return config;
}

void AliasConfig::save(const std::string& path, FileSystem& fs) const {
  std::string text = "# Vellum aliases: NAME DRIVER DIRECTORY\n";
  for (const auto& a : aliases_) text += a.name + " " + a.type + " " + a.path + "\n";
  std::string dir = DirectoryOf(path);
  if (!dir.empty()) fs.makeDirectories(dir);
  std::string temp = path + ".tmp";
  {
    // A temporary file left by a process that ended goes (a link in its
    // place too, never what it points to); the new one is created
    // exclusively, so nothing is ever written through a planted link.
    fs.remove(temp);
    auto file = fs.open(temp, OpenMode::kCreateNew);
    file->write(0, text.data(), text.size());
    file->sync();
  }
  fs.rename(temp, path);
}

const DatabaseDesc* AliasConfig::find(const std::string& name) const {
  for (const auto& a : aliases_) {
    if (Upper(a.name) == Upper(name)) return &a;
  }
  return nullptr;
}

void AliasConfig::add(const DatabaseDesc& alias) {
  if (!ValidName(alias.name) || !ValidName(alias.type) || Trim(alias.path).empty() ||
      alias.path.find('\n') != std::string::npos) {
    ThrowInvalid("An alias needs a name and a driver without blanks, and a directory");
  }
  if (find(alias.name)) ThrowInvalid("Alias \"" + alias.name + "\" already exists");
  aliases_.push_back(alias);
}

bool AliasConfig::remove(const std::string& name) {
  for (auto it = aliases_.begin(); it != aliases_.end(); ++it) {
    if (Upper(it->name) == Upper(name)) {
      aliases_.erase(it);
      return true;
    }
  }
  return false;
}

Database::Database(std::string name, std::string driver)
    : name_(std::move(name)), driver_(std::move(driver)) {}

void Database::setParam(const std::string& key, const std::string& value) {
  if (connected_) {
    ThrowInvalid("Cannot change the parameters of database \"" + name_ +
                 "\" while it is connected");
  }
  params_[Upper(key)] = value;
}

std::string Database::param(const std::string& key) const {
  auto it = params_.find(Upper(key));
  return it == params_.end() ? "" : it->second;
}

void Database::connect(FileSystem& fs) {
  std::string dir = directory();
  if (dir.empty()) dir = ".";
  if (!fs.isDirectory(dir)) {
    ThrowNotFound("Database \"" + name_ + "\": directory \"" + dir + "\" does not exist");
  }
  connected_ = true;
}

Session::Session(std::string config_path, FileSystem& fs)
    : config_path_(std::move(config_path)), fs_(&fs) {}

std::vector<DatabaseDesc> Session::databaseList() {
  return AliasConfig::Load(config_path_, *fs_).aliases();
}

bool Session::isAlias(const std::string& name) {
  return AliasConfig::Load(config_path_, *fs_).find(name) != nullptr;
}

std::string Session::aliasPath(const std::string& name) {
  const auto config = AliasConfig::Load(config_path_, *fs_);
  const DatabaseDesc* a = config.find(name);
  return a ? a->path : "";
}

std::string Session::resolveDirectory(const std::string& database) {
  if (Database* db = findDatabase(database)) {
    if (!db->connected()) db->connect(*fs_);
    return db->directory().empty() ? "." : db->directory();
  }
  const auto config = AliasConfig::Load(config_path_, *fs_);
  if (const DatabaseDesc* a = config.find(database)) return a->path;
  if (fs_->isDirectory(database)) return database;
  ThrowNotFound("Unknown database \"" + database + "\": it is neither an alias nor a directory");
}

std::vector<std::string> Session::tableNames(const std::string& database) {
  return paradox::ListTables(resolveDirectory(database), *fs_);
}

Database& Session::addDatabase(const std::string& name, const std::string& driver) {
  if (Database* existing = findDatabase(name)) return *existing;
  databases_.push_back(std::make_unique<Database>(name, driver));
  return *databases_.back();
}

Database* Session::findDatabase(const std::string& name) {
  for (auto& db : databases_) {
    if (Upper(db->name()) == Upper(name)) return db.get();
  }
  return nullptr;
}

void Session::addPassword(const std::string& password) {
  if (password.empty()) return;
  if (std::find(passwords_.begin(), passwords_.end(), password) != passwords_.end()) return;
  passwords_.push_back(password);
}

}  // namespace vellum::engine
