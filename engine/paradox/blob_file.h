// The .MB file: memo and blob values that do not fit in their record.
//
// A blob field in a record is a leader (a copy of the value's first bytes)
// followed by a 10-byte little-endian descriptor: MB reference (block offset |
// slot index, 0xFF for a block of its own), total length, modification number.
// A value no longer than the leader lives in the record alone. Larger values
// live in the .MB: values of up to 2048 bytes in a slot of a sub-allocated
// block (type 3, 64 slots of 16-byte chunks), larger ones in a block of their
// own (type 2). Freed blocks become type 4 and are reused.
//
// Graphic and OLE values carry an 8-byte prefix inside the .MB (4 bytes of
// kind, 4 bytes of payload length); the value at this API is the payload.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/fs/file_system.h"
#include "engine/paradox/px_types.h"
#include "engine/paradox/record_store.h"
#include "engine/value.h"

namespace vellum::engine::paradox {

// The descriptor that follows a blob field's leader in a record.
struct BlobDescriptor {
  uint32_t reference = 0;  // block offset | slot (0xFF = own block); 0 = leader only
  uint32_t length = 0;     // total length of the value as stored (prefix included)
  uint16_t modification = 0;

  static BlobDescriptor Decode(const uint8_t* field, int leader);
};

class BlobFile {
 public:
  // Opens an existing .MB and checks its header block. Raises EDBEngineError
  // (data corrupt, naming the file) when it is not a valid .MB. The blob
  // file of a table encrypted under `password_checksum` (not 0) is read and
  // written through its scrambling (crypt.h).
  static std::unique_ptr<BlobFile> Open(FileSystem& fs, const std::string& path, bool writable,
                                        uint32_t password_checksum = 0);
  // Creates a new .MB holding only its header block (replacing any file),
  // scrambled under `password_checksum` when it is not 0.
  static std::unique_ptr<BlobFile> Create(FileSystem& fs, const std::string& path,
                                          uint32_t password_checksum = 0);
  ~BlobFile();

  const std::string& path() const;

  // Reads the value of a blob field whose record bytes start at `field`
  // (leader of `leader` bytes, then the descriptor). Every reference, block
  // type, slot, length and offset is checked against the file; a fault raises
  // EDBEngineError (data corrupt) naming the file, the block and `field_name`.
  Bytes read(const uint8_t* field, int leader, PxType type, const std::string& field_name);

  // Stores `value` into the record bytes of a blob field: fills the leader
  // and the descriptor, allocating in the .MB when the value does not fit in
  // the leader. An empty value makes the field NULL (all zero). The caller
  // releases the old value first (release) when it overwrites one.
  void write(uint8_t* field, int leader, PxType type, const Bytes& value);

  // Frees the .MB storage a field refers to (nothing for leader-only values).
  // Storage that no longer holds the field's value (already freed, or reused
  // with another length or modification number) is left alone; a reference
  // that names no valid place in the file raises EDBEngineError (data corrupt).
  void release(const uint8_t* field, int leader);

  // Integrity check of one field's reference: empty when sound, otherwise a
  // description of the fault.
  std::string check(const uint8_t* field, int leader, PxType type);

  // Writes pending changes and syncs the file.
  void sync();
  // Forgets what it knows of the file's blocks and reads its header again:
  // another process changed the file.
  void forget();
  // The guard of read()'s reads (none by default).
  void setReadGuard(ReadGuard* guard) { guard_ = guard; }
  // The open .MB file (its changes are written as they are made).
  File& file();

  // Reads a value held entirely in the leader (for tables whose .MB is
  // missing). Raises EDBEngineError (data corrupt) naming `table_file` and
  // `field_name` when the value needs the .MB.
  static Bytes ReadLeaderOnly(const uint8_t* field, int leader, PxType type,
                              const std::string& table_file, const std::string& field_name);

  struct Impl;

 private:
  explicit BlobFile(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
  ReadGuard* guard_ = nullptr;
};

}  // namespace vellum::engine::paradox
