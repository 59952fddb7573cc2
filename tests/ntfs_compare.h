// Holds the kit's own NTFS reader against other readers of one NTFS volume,
// every folder from the root down walked through both: The Sleuth Kit's
// library, libfsntfs (an NTFS library of its own lineage) and an ntfs-3g
// mount of the volume.
//
// Each returns true when the two agree; otherwise false, with one line for
// each difference (the first hundred) in `*differences`, "<folder or file>:
// <what>", the path as the volume spells it ("\" for the root), and what
// says which side lists or reads what: "only libtsk lists "gone.sys"
// record 90", ""x.sysx" (8.3 "X~1.SYS") record 70: libtsk gives no 8.3
// name". A side that cannot open the volume is one difference that
// says so ("libtsk cannot open the volume: ...").
#ifndef TESTS_NTFS_COMPARE_H_
#define TESTS_NTFS_COMPARE_H_

#include <cstdint>
#include <string>
#include <vector>

// Differences between the reader and a library that the caller knows of,
// where Windows lists what the reader lists: each a part of the lines it
// accounts for ("\\Windows\\System32\\drivers: only libtsk lists \"gone"),
// which the comparison then leaves out.
using KnownDifferences = std::vector<std::string>;

// The volume at byte `volume_offset` of the raw image at `image_path`,
// through the reader and through libtsk: the volume's $UpCase table, each
// folder's allocated entries (names, 8.3 names, records, folder or not), the
// reader's in the index's collation order (upper case by that table, ties
// by the units), and every file's unnamed data stream, to the same bytes.
bool CompareNtfsReaderWithLibtsk(const std::string& image_path,
                                 uint64_t volume_offset,
                                 std::string* differences,
                                 const KnownDifferences& known = {});

// The same through libfsntfs, whose 8.3 names are those of each file's own
// $FILE_NAME attributes in the folder, as the index repeats them.
bool CompareNtfsReaderWithLibfsntfs(const std::string& image_path,
                                    uint64_t volume_offset,
                                    std::string* differences,
                                    const KnownDifferences& known = {});

// The reader's listing of every folder against readdir in the same folder of
// `mount`, where ntfs-3g mounts that volume: the same names in the same
// order, the mount's sorted by the volume's $UpCase as the index collates
// them (ntfs-3g reads an index root's keys before its subnodes' entries),
// with the records (inode numbers), folder or not, and the 8.3 names
// (ntfs-3g's system.ntfs_dos_name).
bool CompareNtfsReaderWithMount(const std::string& image_path,
                                uint64_t volume_offset,
                                const std::string& mount,
                                std::string* differences);

#endif  // TESTS_NTFS_COMPARE_H_
