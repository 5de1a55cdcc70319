// Reading the operator's list files (blacklist "domains" and "urls" files,
// category hint and feed files) line by line.
//
// A line is the text up to its line feed, with a carriage return before
// the line feed removed, so files written on any system read alike.  A
// line longer than the reader's limit is skipped whole, never read as
// several entries: a cut entry would list a host or path nobody named.
// Each file that has such lines is logged once.
#ifndef KV_FILTERS_LISTFILE_H
#define KV_FILTERS_LISTFILE_H

#include <cstddef>
#include <functional>
#include <string>

// Longest line the list readers take, in bytes, line end excluded.
#define LISTFILE_LINE_MAX 1023

// Splits bytes that arrive in pieces into lines.  Feed gives every whole
// line to the callback; Finish gives the last line when the data did not
// end in a line feed.  Lines over `max` bytes are counted in `skipped`.
class LineSplitter {
public:
    typedef std::function<void(const std::string &line)> Callback;
    LineSplitter(size_t max, Callback callback);
    void Feed(const char *data, size_t length);
    void Finish();
    size_t skipped = 0;   // lines dropped for their length

private:
    void end_line();
    size_t max;
    Callback callback;
    std::string line;
    bool overlong = false;  // the current line already passed max
};

// Reads the file at path through a LineSplitter of max bytes and
// calls back for each line.  Returns false when the file cannot be opened
// or a read fails (the lines read before the failure were given).  Logs
// "skipped %zu overlong lines in %s" under log_category once when lines
// were dropped.
bool listfile_read(const std::string &path, int log_category,
                   const LineSplitter::Callback &callback, size_t max = LISTFILE_LINE_MAX);

#endif
