#pragma once

// The files of one folder that a daemon appends to and prunes, never through a symbolic link: a
// link planted at the folder or at a file is neither written through nor followed, so nothing
// outside the folder is written or removed. POSIX only, like the service.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

struct AppendResult {
    bool Ok = false;
    int Error = 0;       // errno of the failure: ENOSPC for a full disk, EFBIG over a size limit
    uint64_t Before = 0; // the file's size before the append
};

// Appends `bytes` to the regular file `name` in `folder` with one write, `header` first when
// the file is new or empty; the folder is made when missing. A write cut short is taken back
// out, so the file only ever holds whole appends.
AppendResult AppendToFolderFile(const std::string& folder, const std::string& name,
                                std::string_view header, std::string_view bytes);

// Cuts the regular file `name` in `folder` back to `size` bytes: an append taken back.
bool CutFolderFile(const std::string& folder, const std::string& name, uint64_t size);

// Removes the regular files in `folder` whose names `remove` picks; links, folders and the
// rest stay, and nothing goes when `folder` itself is a link. How many went.
int RemoveFolderFiles(const std::string& folder,
                      const std::function<bool(const std::string& name)>& remove);
