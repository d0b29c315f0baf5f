// Recorder: every published record into CSV and JSON-lines files as it arrives.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "devices/PoseBoard.h"

namespace fastrakhost {

// As the files write them: a record's kind, and a text as a JSON string.
const char* kindName(Sample::Kind kind);
std::string jsonString(const std::string& text);

// Opens a recording for writing, made if missing (created then true), its content left alone: a
// recording is emptied only when the first of its own lines goes out, and a run that writes none
// removes the file it made, so a failed run neither leaves a file that blocks the next nor wipes
// the one --overwrite was to replace. -1 with errno when the file cannot be written.
int openRecording(const std::string& path, bool& created);
// Closes a recording that got nothing: a file the run made goes again.
void dropRecording(int fd, const std::string& path, bool created);
// The same as a stream, and the emptying of one that was there: false with errno.
std::FILE* openRecordingStream(const std::string& path, bool& created);
bool emptyRecordingStream(std::FILE* file);

// One recording file. Lines wait in memory and go out whole at each flush; when the disk refuses
// them (full, an I/O error) the file is cut back to its last whole line, so what it holds stays
// readable, and nothing more is written.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool open(const std::string& path);  // see openRecording; false with error()
    bool isOpen() const { return fd_ >= 0; }
    void append(const std::string& text) { pending_ += text; }
    bool flush();  // false with error() when the file cannot take what waits
    bool close();
    const std::string& error() const { return error_; }
    uint64_t linesWritten() const { return lines_; }  // whole lines in the file

private:
    void fail(const std::string& reason);

    int fd_ = -1;
    bool created_ = false, started_ = false;  // started: emptied and written to
    bool regular_ = false;                    // only a regular file is emptied or cut back
    std::string path_, pending_, error_;
    long long written_ = 0;  // bytes in the file, always whole lines
    uint64_t lines_ = 0;
};

// Two output paths that name one file: the same path written two ways, a symbolic link to the
// other, a hard link, or a file not there yet in the same folder under the same name.
bool sameFile(const std::string& a, const std::string& b);

// An output file that exists and holds something, which a run must not overwrite unless told to.
// Returns the reason, or an empty string when the path is free.
std::string occupiedBy(const std::string& path);

// The files are written by a thread of their own every 200 ms, so a killed program loses at most
// that, whatever the terminal does: a live view blocked on a terminal nobody reads holds up only
// the view.
class Recorder {
public:
    Recorder() = default;
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Empty paths record nothing; false with error() when a file cannot be written. A file gets
    // its first line with the first record; one that got none is removed by close() if the run
    // made it, else left as it was. Starts the writing thread when a file is open.
    bool open(const std::string& csvPath, const std::string& jsonlPath);
    std::string error() const;

    void write(const Sample& sample);
    // True once a file has failed: error() names it and the reason; later records are counted,
    // not written.
    bool failed() const;
    // Stops the thread, writes the rest out and closes; false with error() when that failed.
    bool close();
    // After close: the records handed to write() that some file lacks (0 unless a file failed).
    uint64_t notWritten() const;

    static const char* const csvHeader;  // the CSV's first line; x y z in feet, angles in degrees
    static std::string csvLine(const Sample& sample);
    static std::string jsonLine(const Sample& sample);

private:
    void run();
    bool flushFile(OutputFile& file);

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::string csvLines_, jsonLines_;     // filled by the reception threads, emptied by the flush
    OutputFile csv_, jsonl_;               // the writing thread's alone while it runs
    bool csvOn_ = false, jsonOn_ = false;  // set before the reception threads start
    bool csvHeaderDue_ = false;            // the header goes out with the first record
    uint64_t received_ = 0;                // records handed to write()
    std::thread writer_;
    bool stopping_ = false;
    std::string error_;
    bool failed_ = false;
};

}  // namespace fastrakhost
