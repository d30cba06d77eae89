// The narrow file-system interface through which the engine touches disk.
//
// Every open, read, write, sync, rename, delete, directory listing and lock of
// the engine goes through a FileSystem, so that tests can inject I/O errors, a
// full disk or a crash at any numbered write. The real implementation is
// PosixFileSystem; Default() returns the one the engine uses unless told
// otherwise.
//
// Names are looked up without regard to the letter case of A to Z (the
// tables' home platform ignores it): findFile() and listPrefix() do that, and
// the default file system answers them from an index of each directory's
// names (IndexedFileSystem), so that finding a table's files costs the same
// in a directory of ten entries or of a hundred thousand.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vellum::engine {

// An open file. Reads and writes are positional. Errors raise EDBEngineError
// (category I/O) naming the file.
class File {
 public:
  virtual ~File() = default;
  virtual const std::string& path() const = 0;
  virtual uint64_t size() = 0;
  // Reads up to n bytes at offset; returns the count read (short at end of file).
  virtual size_t read(uint64_t offset, void* buffer, size_t n) = 0;
  // Writes exactly n bytes at offset, extending the file as needed.
  virtual void write(uint64_t offset, const void* data, size_t n) = 0;
  virtual void truncate(uint64_t size) = 0;
  virtual void sync() = 0;
  // Asks the system to start writing `length` bytes at `offset` to disk
  // without waiting for them, so that a later sync() waits only for what was
  // written since. A hint only: it makes nothing durable and may do nothing.
  virtual void hintWriteback(uint64_t offset, uint64_t length) {
    (void)offset;
    (void)length;
  }

  // Advisory cross-process lock on the whole file. Returns false (without
  // waiting) when another process holds a conflicting lock.
  virtual bool tryLock(bool exclusive) = 0;
  virtual void unlock() = 0;

  // A second advisory cross-process lock on the file, independent of
  // tryLock(): the one that serialises changes to what the file holds. A
  // writer holds it exclusive while it changes the file; a reader holds it
  // shared while it needs the file to stay as it is. It belongs to this open
  // file, so two opens of one file in one process conflict like two
  // processes do. Returns false (without waiting) when a conflicting holder
  // exists. A shared lock can be held through a file opened for reading; an
  // exclusive one needs a file opened for writing (asked through one opened
  // for reading, it raises an invalid request). The default has no holders
  // to conflict with (file systems that are private to one process).
  virtual bool tryLockChanges(bool exclusive) {
    (void)exclusive;
    return true;
  }
  virtual void unlockChanges() {}

  // A third advisory lock, independent of the other two: whose turn it is
  // to take tryLock(). An exclusive opener that has to wait for readers to
  // let go holds it exclusive while it waits, and every opener takes it
  // shared for the moment it calls tryLock(): so readers that come later
  // wait behind the writer instead of keeping the file shared for ever. An
  // exclusive turn needs a file opened for writing. The default has no
  // holders to conflict with.
  virtual bool tryLockTurn(bool exclusive) {
    (void)exclusive;
    return true;
  }
  virtual void unlockTurn() {}
};

// How a file is opened. Every mode that writes, but for kCreateOutput,
// refuses a path whose last component is a symbolic link (ELOOP): a link
// planted in a directory others can write must never lead a write elsewhere.
enum class OpenMode {
  kRead,          // existing file, read only
  kReadWrite,     // existing file, no link; refused (EACCES, EROFS) when it may only be read
  kCreate,        // create or truncate, read-write; no link
  kCreateNew,     // create a file that must not exist yet (no entry at all), read-write
  kCreateOutput,  // a file the user named for output: create or truncate, links followed
};

// Whether `mode` creates the file when it is missing.
inline bool CreatesFile(OpenMode mode) {
  return mode == OpenMode::kCreate || mode == OpenMode::kCreateNew ||
         mode == OpenMode::kCreateOutput;
}

// What one stat of a directory tells about its entries: when any entry is
// added, removed or renamed, the directory's modification and change times
// move (and, on some file systems, its size). Two equal stamps of the same
// directory mean "probably unchanged"; see IndexedFileSystem for how the
// coarse clocks of file systems are allowed for.
struct DirectoryStamp {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t modified_ns = 0;  // since the epoch
  int64_t changed_ns = 0;   // since the epoch
  uint64_t size = 0;

  bool operator==(const DirectoryStamp&) const = default;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual std::unique_ptr<File> open(const std::string& path, OpenMode mode) = 0;
  virtual bool exists(const std::string& path) = 0;
  virtual bool isDirectory(const std::string& path) = 0;
  // Removes a file; a missing file is not an error.
  virtual void remove(const std::string& path) = 0;
  // Atomically replaces `to` with `from`.
  virtual void rename(const std::string& from, const std::string& to) = 0;
  // Names (not paths) of the regular files in a directory, in byte order.
  // Symbolic links count as what they point to.
  virtual std::vector<std::string> list(const std::string& directory) = 0;
  // The name of the regular file in `directory` whose name equals `name`
  // without regard to the letter case of A to Z, the exact spelling first;
  // nullopt when there is none (or the directory cannot be read and `name`
  // itself does not exist). Never examines the directory's entries one by
  // one through this interface: the default lists it once.
  virtual std::optional<std::string> findFile(const std::string& directory,
                                              const std::string& name);
  // Names of the regular files in `directory` that begin with `prefix`
  // without regard to the letter case of A to Z, in byte order; none when
  // the directory cannot be read. "T." gives the files of table T.
  virtual std::vector<std::string> listPrefix(const std::string& directory,
                                              const std::string& prefix);
  // The stamp of a directory, or nullopt when it is no directory or this
  // file system cannot tell (then nothing may be cached about it).
  virtual std::optional<DirectoryStamp> directoryStamp(const std::string& directory) {
    (void)directory;
    return std::nullopt;
  }
  // Creates a directory and its parents; an existing directory is fine.
  virtual void makeDirectories(const std::string& path) = 0;
  // Makes a directory's entries (renames, creations) durable.
  virtual void syncDirectory(const std::string& path) = 0;
  // Removes an empty directory; a missing one is not an error.
  virtual void removeDirectory(const std::string& path) { (void)path; }
  // Creates the one directory `path` (its parent must exist) for this
  // process's own work. Returns true when it made it, false when `path` is
  // already a directory (not a link to one). Raises an I/O error naming
  // `path` when it exists as a symbolic link or as anything else than a
  // directory: a work area is never taken over through a link.
  virtual bool createDirectory(const std::string& path);
  // Removes the directory `path` with everything in it, never following a
  // symbolic link: a link inside is removed itself, and a link at `path`
  // is removed without touching what it points to. A missing path is not
  // an error.
  virtual void removeTree(const std::string& path);
  // Whether `path` itself is a symbolic link (the link is not followed).
  virtual bool isLink(const std::string& path) {
    (void)path;
    return false;
  }
  // Whether this process may create, rename and delete entries of
  // `directory` (an existing directory). A hint checked before work starts:
  // the operations themselves still report their own failures.
  virtual bool canWriteDirectory(const std::string& directory) { return isDirectory(directory); }
  // Whether this process may open the existing file `path` for writing. A
  // hint, as canWriteDirectory() is.
  virtual bool canWriteFile(const std::string& path) {
    (void)path;
    return true;
  }
  // Whether `a` and `b` name the same directory: the same existing one (by
  // identity, whatever the path), or the same path once made absolute and
  // normal when either does not exist.
  virtual bool sameDirectory(const std::string& a, const std::string& b);
  // Bytes free for this process on the file system holding `directory`;
  // nullopt when unknown.
  virtual std::optional<uint64_t> availableBytes(const std::string& directory) {
    (void)directory;
    return std::nullopt;
  }
  // Syncs several files; on return all are durable. The real file system
  // syncs them concurrently so that the disk can take them in one go; the
  // first failure is raised after every sync has ended.
  virtual void syncFiles(const std::vector<File*>& files) {
    for (File* f : files) f->sync();
  }
  // Makes the files `files` (their bytes and sizes) and the entries of the
  // directories `directories` durable, all of them on one file system. The
  // real file system flushes that whole file system at once, one wait for
  // the disk however many files there are (other programs' unsynced writes
  // there go out too); the default syncs each file and directory in turn.
  virtual void syncTogether(const std::vector<std::string>& files,
                            const std::vector<std::string>& directories);

  // The file system the engine uses by default: the real one, with the
  // index of directory names in front of it.
  static FileSystem& Default();
  // Replaces the default (tests); nullptr restores the real one.
  static void SetDefault(FileSystem* fs);
  // The real file system alone, without the index (tests that watch what
  // reaches the operating system).
  static FileSystem& Posix();
};

// Path helpers using the platform separator.
std::string JoinPath(const std::string& directory, const std::string& name);
std::string DirectoryOf(const std::string& path);
std::string FileNameOf(const std::string& path);
// Name without its last extension ("A.DB" -> "A"; "A" -> "A").
std::string StripExtension(const std::string& name);
// Extension including the dot, or empty.
std::string ExtensionOf(const std::string& name);

// Finds `name` in `directory` regardless of letter case (FileSystem::findFile).
// Returns the full path of the existing file, or the plain join when there is
// none.
std::string ResolveCaseInsensitive(FileSystem& fs, const std::string& directory,
                                   const std::string& name, bool* found = nullptr);

// Raises the refusal of a work area (a directory, or a file in one, that
// this program makes for its own work) that is `what`: "Cannot use "<path>"
// for this program's work: it is <what>; remove it and try again".
inline constexpr const char* kALink = "a symbolic link, which is never followed";
inline constexpr const char* kNotADirectory = "not a directory";
inline constexpr const char* kADirectory = "a directory";
[[noreturn]] void RefuseWorkArea(const std::string& path, const char* what);

// Reads a whole file (small files only).
std::vector<uint8_t> ReadWholeFile(File& file);

}  // namespace vellum::engine
