// Measuring, incremental eviction and emptying of the cache trees.
#include "cache/cache_tree.h"

#include <ctime>
#include <utility>
#include <vector>

#include "cache/cache_fs.h"

namespace vesk::cache {

namespace {

constexpr int64_t kSecondsPerDay = 86400;

// Whole megabytes of a folder's kilobyte sum: the rounding the measure applies per folder.
int64_t FolderMb(uint64_t kb) {
    return static_cast<int64_t>(kb / 1024);
}

// The tree as read once, with what each folder contributes to the measure. Deleting a
// file changes only its own folder's sum, so the total is updated from that folder's
// rounded value before and after, which is exactly what measuring the whole tree again
// would give.
class TreeTracker {
public:
    explicit TreeTracker(const std::string& root) {
        m_folders.push_back(Folder{root, 0, {}});
        Read(0);
    }

    int64_t Total() const { return m_total; }
    size_t Deleted() const { return m_deleted; }

    void Pass(size_t f, int minAgeDays, int64_t target) {
        // Each folder level takes the time once, as files are judged against it.
        const int64_t now = minAgeDays > 0 ? static_cast<int64_t>(std::time(nullptr)) : 0;
        // Items are never added during a pass, so indexes stay valid across recursion.
        for (size_t i = 0; i < m_folders[f].items.size(); ++i) {
            Item& item = m_folders[f].items[i];
            if (item.gone)
                continue;
            const std::string path = JoinNative(m_folders[f].path, item.name);
            if (item.child < 0) {
                if (minAgeDays > 0) {
                    if (!item.hasStatus)
                        continue;
                    if ((now - item.mtime) / kSecondsPerDay < minAgeDays)
                        continue;
                }
                if (target >= m_total)
                    continue;
                if (RemoveEntry(path)) {
                    item.gone = true;
                    ++m_deleted;
                    SetFolderKb(f, m_folders[f].kb - item.kb);
                }
            } else {
                const size_t child = static_cast<size_t>(item.child);
                Pass(child, minAgeDays, target);
                if (RemoveEmptyFolder(path)) {
                    m_folders[f].items[i].gone = true;
                    // Emptied by someone else meanwhile: nothing of it is left to count.
                    DropFolder(child);
                }
            }
        }
    }

private:
    struct Item {
        std::string name;
        long child = -1;  // index of the folder when the item is one
        uint64_t kb = 0;
        int64_t mtime = 0;
        bool hasStatus = false;
        bool gone = false;
    };
    struct Folder {
        std::string path;
        uint64_t kb;
        std::vector<Item> items;
    };

    void Read(size_t f) {
        std::vector<ScanEntry> entries;
        if (!ScanDirectory(m_folders[f].path, entries, true))
            return;
        std::vector<Item> items;
        items.reserve(entries.size());
        uint64_t kb = 0;
        std::vector<size_t> children;
        for (ScanEntry& e : entries) {
            Item item;
            if (e.isDirectory) {
                item.child = static_cast<long>(m_folders.size());
                m_folders.push_back(Folder{JoinNative(m_folders[f].path, e.name), 0, {}});
                children.push_back(m_folders.size() - 1);
            } else if (e.hasStatus) {
                item.kb = e.size >> 10;
                item.mtime = e.mtime;
                item.hasStatus = true;
                kb += item.kb;
            }
            item.name = std::move(e.name);
            items.push_back(std::move(item));
        }
        m_folders[f].items = std::move(items);
        SetFolderKb(f, kb);
        for (size_t c : children)
            Read(c);
    }

    void SetFolderKb(size_t f, uint64_t kb) {
        m_total += FolderMb(kb) - FolderMb(m_folders[f].kb);
        m_folders[f].kb = kb;
    }

    void DropFolder(size_t f) {
        SetFolderKb(f, 0);
        for (Item& item : m_folders[f].items) {
            if (item.child >= 0 && !item.gone)
                DropFolder(static_cast<size_t>(item.child));
            item.gone = true;
        }
    }

    std::vector<Folder> m_folders;
    int64_t m_total = 0;
    size_t m_deleted = 0;
};

}  // namespace

int64_t MeasureTree(const std::string& dir) {
    std::vector<ScanEntry> entries;
    if (!ScanDirectory(dir, entries, true))
        return 0;
    uint64_t kb = 0;
    int64_t sub = 0;
    for (const ScanEntry& e : entries) {
        if (e.isDirectory)
            sub += MeasureTree(JoinNative(dir, e.name));
        else if (e.hasStatus)
            kb += e.size >> 10;
    }
    return FolderMb(kb) + sub;
}

EvictionResult EvictTree(const std::string& root, int limitMb) {
    EvictionResult r;
    TreeTracker tree(root);
    r.before = r.after = tree.Total();
    if (r.before < limitMb)
        return r;
    const int64_t target = static_cast<int64_t>(limitMb) * 70 / 100;
    for (int age = 5; age >= 0; --age) {
        tree.Pass(0, age, target);
        ++r.passes;
        if (tree.Total() < target)
            break;
    }
    r.after = tree.Total();
    r.deletedFiles = tree.Deleted();
    return r;
}

void EmptyFolder(const std::string& dir) {
    std::vector<ScanEntry> entries;
    if (!ScanDirectory(dir, entries, false))
        return;
    for (const ScanEntry& e : entries) {
        const std::string path = JoinNative(dir, e.name);
        if (e.isDirectory) {
            EmptyFolder(path);
            RemoveEmptyFolder(path);
        } else {
            RemoveEntry(path);
        }
    }
}

}  // namespace vesk::cache
