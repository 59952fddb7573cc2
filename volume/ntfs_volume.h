// The kit's own NTFS reader: folders and files of an NTFS volume read from
// its structures themselves (the boot sector, the MFT through its own runs,
// the folders' index B-trees and the files' attributes), over one primitive
// that the caller provides, "read these bytes at this offset of the volume".
// The Windows programs read a live volume raw through it, where no other
// NTFS reader is at hand; the native build compiles it for the tests.
//
// The volume is the attacker's: every length, offset, count and run read
// from it is checked against what holds it before it is used, no loop in an
// index or an attribute list runs forever, and no record makes memory grow
// past what the volume could hold. Every failure is a Windows error code:
// kErrorUnrecognizedVolume for a volume that is not NTFS, kErrorFileCorrupt
// for damaged structures and kErrorIoDevice where the volume cannot be read.
#ifndef VOLUME_NTFS_VOLUME_H_
#define VOLUME_NTFS_VOLUME_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/error_codes.h"
#include "common/text.h"

// The volume as the caller reads it: `read` puts exactly `length` bytes from
// `offset` into `buffer` and returns true, or returns false when they cannot
// all be read. `context` stays valid while the volume is open. `size` is the
// volume's size in bytes, 0 when unknown; nothing past it is asked for.
struct VolumeReader {
  void* context = nullptr;
  bool (*read)(void* context, uint64_t offset, void* buffer,
               size_t length) = nullptr;
  uint64_t size = 0;
};

struct NtfsVolume;
struct NtfsVolumeCloser {
  void operator()(NtfsVolume* volume) const;
};
using NtfsVolumePtr = std::unique_ptr<NtfsVolume, NtfsVolumeCloser>;

// Opens the NTFS volume that `reader` reads: its boot sector, the MFT's run
// list and the $UpCase table. Fails with kErrorUnrecognizedVolume when the
// volume is not NTFS.
uint32_t OpenNtfsVolume(const VolumeReader& reader, NtfsVolumePtr* volume);

// The MFT record of the root folder, where every path begins.
constexpr uint64_t kNtfsRootRecord = 5;

struct NtfsEntry {
  // The entry's long name (Win32 or POSIX namespace; the DOS name for a
  // file that has no other name in the folder), units exactly as on disk.
  WideString name;
  // Its 8.3 name (DOS namespace), empty when there is none; equal to `name`
  // for a name that is both.
  WideString short_name;
  uint64_t record = 0;    // the MFT record of the file
  uint16_t sequence = 0;  // the record's sequence number the index names
  bool is_folder = false;
};

// The entries of the folder at a rooted path ("\Windows\System32\drivers";
// "" or "\" for the root), each component matched without regard to case by
// the volume's $UpCase table, by its long or its 8.3 name. They come in the
// index's order, allocated entries only, each name of a hard link as its own
// entry and a long name with its 8.3 name as one; "." and the root's NTFS
// system files ($MFT and the others below record 16) are left out. Fails
// with kErrorPathNotFound when the path names no folder.
uint32_t ListNtfsFolder(NtfsVolume* volume, const WideString& path,
                        std::vector<NtfsEntry>* entries);

// The same for the folder whose MFT record is `record`; fails with
// kErrorPathNotFound when the record holds no folder.
uint32_t ListNtfsFolderAt(NtfsVolume* volume, uint64_t record,
                          std::vector<NtfsEntry>* entries);

// The volume's upper-case table, by which NTFS compares names without
// regard to case: one unit for each of the 65536 units. Where the volume's
// own $UpCase cannot be read, Windows' rule for ASCII and Latin-1.
const std::vector<char16_t>& NtfsUpcase(const NtfsVolume* volume);

// Upper case as Windows has it where a volume brings no table of its own:
// ASCII and the Latin-1 letters.
std::vector<char16_t> DefaultUpcase();

struct NtfsFileInfo {
  uint64_t size = 0;  // of the unnamed data stream; 0 without one
  bool is_folder = false;
  bool compressed = false;
  bool encrypted = false;
  bool sparse = false;
  bool has_reparse_point = false;
  uint16_t sequence = 0;  // of the file's base record
};

// What the file of MFT record `record` is. Fails with kErrorFileNotFound when
// the record holds no file.
uint32_t GetNtfsFileInfo(NtfsVolume* volume, uint64_t record,
                         NtfsFileInfo* info);

// Reads up to `length` bytes from `offset` of the unnamed data stream of the
// file of MFT record `record` (resident or in runs, sparse, LZNT1-compressed;
// named streams are not the file), bytes past the initialized size as
// zeros. `*bytes_read` is below `length` only at the end of the data, and 0
// on failure.
uint32_t ReadNtfsFile(NtfsVolume* volume, uint64_t record, uint64_t offset,
                      void* buffer, size_t length, size_t* bytes_read);

// The same for the data stream of that name (u"WofCompressedData"); an
// empty name is the unnamed stream. `*size` is the stream's size; fails
// with kErrorFileNotFound when the file has no such stream.
uint32_t GetNtfsStreamSize(NtfsVolume* volume, uint64_t record,
                           const WideString& stream, uint64_t* size);
uint32_t ReadNtfsStream(NtfsVolume* volume, uint64_t record,
                        const WideString& stream, uint64_t offset, void* buffer,
                        size_t length, size_t* bytes_read);

// The value of the file's reparse point: its tag, its data length and its
// data, as NTFS keeps it. Fails with kErrorFileNotFound when the file has
// none.
uint32_t ReadNtfsReparsePoint(NtfsVolume* volume, uint64_t record,
                              std::vector<uint8_t>* value);

// A run of bytes of the volume.
struct VolumeExtent {
  uint64_t offset = 0;
  uint64_t length = 0;
};

// Where on the volume everything lies that the file's content is read
// from: its MFT records, its attribute list and the clusters of each of its
// data streams, holes left out. Two files whose extents read the same
// bytes have the same content.
uint32_t GetNtfsFileExtents(NtfsVolume* volume, uint64_t record,
                            std::vector<VolumeExtent>* extents);

#endif  // VOLUME_NTFS_VOLUME_H_
