// File access of the Mox run-time library.
#pragma once

#include "GTypes.h"

#include <string>
#include <vector>

enum OSFileReadWriteMode
{
    OSFileRead = 0,
    OSFileWrite = 1,
    OSFileReadWrite = 2
};

enum OSFileOpenMode
{
    OSCreateAlways = 0,     // create, or cut an existing file to empty
    OSCreateNew = 1,        // create; fail when the file exists
    OSOpenAlways = 2,       // open, creating a missing file
    OSOpenExisting = 3,     // open; fail when the file is missing
    OSTruncateAlways = 4,   // like OSCreateAlways
    OSTruncateExisting = 5, // cut an existing file to empty; fail when it is missing
    OSAppendAlways = 6,     // open for appending, creating a missing file
    OSAppendExisting = 7,   // open for appending; fail when the file is missing
    OSFileCreateOpenMode_LAST = 8
};

// A file on disk. Reads and writes go through an internal buffer, so callers may move data in small pieces
// without a system call for each; Flush() pushes what is buffered to the file and the file to the disk.
class OSFile
{
public:
    explicit OSFile(const XCHAR* path);
    virtual ~OSFile();

    OSFile(const OSFile&) = delete;
    OSFile& operator=(const OSFile&) = delete;

    const XCHAR* GetPathName() const { return m_path.c_str(); }

    virtual XBOOL Open(OSFileReadWriteMode rwMode, OSFileOpenMode openMode);
    // Open with further open(2) flags, such as O_NONBLOCK or O_NOCTTY.
    XBOOL OpenWithFlags(OSFileReadWriteMode rwMode, OSFileOpenMode openMode, int extraFlags);
    // Takes over a descriptor opened elsewhere; it is closed by Close.
    XBOOL Attach(int fd);
    // Stores the bytes read by this call in *count; 0 at the end of the file.
    virtual XBOOL Read(void* buf, int size, int* count);
    // Stores the bytes accepted by this call in *count. A false result means bytes were lost.
    virtual XBOOL Write(void* buf, int size, int* count);
    // Writes out buffered bytes and waits until the file's data is on the disk.
    virtual XBOOL Flush();
    // Writes out buffered bytes (errors are not reported: call Flush first) and closes. Safe to call twice.
    virtual void Close();

    // The name of the pseudo file system fd lies on ("procfs", "sysfs", ...), or nullptr for a real one.
    // A file there may claim size 0 and block on read (/proc/kmsg) or act when read, so nothing that a
    // configuration names is read from one.
    static const char* PseudoFileSystem(int fd);

    bool IsOpen() const { return m_fd >= 0; }
    // The open descriptor, -1 when closed. Still owned by the file.
    int GetHandle() const { return m_fd; }

private:
    bool writeOut();
    void dropReadAhead();

    std::string m_path;
    int m_fd = -1;
    bool m_failed = false;           // a write failed; the file no longer holds what was written
    std::vector<char> m_buffer;      // read ahead
    std::size_t m_readPos = 0;       // next byte of m_buffer to hand out
    std::vector<char> m_writeBuffer; // written but not yet in the file
};
