// src/orrinth/trace/native_reader.hpp: from_jsonl's native reader. For a file the read
// opened itself as UTF-8 text, the bytes are read here in large chunks, split into lines
// and decoded as the text file would, and lines of the exact shape our writer produces are
// parsed straight into events (event_parser.cpp). Every other line goes the way it goes
// without the reader; any failure makes the whole file be read again through the text
// file object, so that what is raised is always what the text file route raises.
#pragma once

#include "trace.hpp"

#include <functional>
#include <memory>

namespace orrinth::trace {

// --- shared with the fast route (fast_routes.cpp)

/// The event the validator makes of the field values `given` (borrowed, in declaration
/// order, null where the field is missing) when they are of the common exact shape:
/// `type` and `turn` given, every value of the very type its field holds. The instance is
/// made the way the validator makes it: the class's tp_new without arguments, then
/// `__dict__` with every field in declaration order (defaults for the missing ones), no
/// extra or private values, and the given names as the fields set. An empty Ref for any
/// other values. A given `data` dict is taken over as it is.
Ref event_from_fields(TraceState &st, PyObject *const given[kEventFieldCount]);

/// Levels of container nesting json.loads and model_validate are certain to have room for
/// on this thread now (0 or less: none).
Py_ssize_t nesting_room();

/// Whether the calls of a line are still those of import: TraceEvent, json and json.loads
/// as the reading function sees them.
bool line_calls_unchanged(FnObject *fn, TraceState &st);

/// line_calls_unchanged() for one read, line after line: a verdict of true is kept while
/// the dicts it looked in (the function's globals, json's module dict, the decoder's own
/// dict) have the versions they had then and the classes it checked their tags. Where the
/// decoder's dict has no usable version (3.13 keeps a split table's values without one),
/// it must still share the same keys, none of them named decode or raw_decode, with
/// scan_once at the same entry holding the same scanner. Anything else (a change, a false
/// verdict) checks in full.
class LineCallsMemo {
  public:
    bool unchanged(FnObject *fn, TraceState &st);

  private:
    bool still(FnObject *fn, TraceState &st) const;
    bool decoder_still(TraceState &st, PyObject *own) const;
    void record(FnObject *fn, TraceState &st);
    bool record_split_decoder(TraceState &st, PyObject *own);

    bool valid_ = false;
    uint64_t globals_version_ = 0, json_version_ = 0, decoder_version_ = 0;
    PyObject *decoder_dict_ = nullptr;  // compared only: never dereferenced
    // The decoder's split table, when its dict has no version: compared only.
    const void *decoder_keys_ = nullptr;
    Py_ssize_t decoder_entries_ = 0, scan_entry_ = -1;
};

// --- event_parser.cpp

/// Look up what the parser needs (json's constants); false when TraceEvent's fields are
/// not the ones the parser knows.
bool init_event_parser(TraceState &st);

/// The short strings of one read, shared between its lines.
class StringCache;
struct StringCacheDeleter {
    void operator()(StringCache *cache) const;
};
std::unique_ptr<StringCache, StringCacheDeleter> new_string_cache();

/// What `TraceEvent.model_validate(json.loads(line))` gives for the line `s[0:n]` (valid
/// UTF-8) when it is an object of the exact shape whose every part the parser handles
/// exactly, with no container nested `max_depth` levels or deeper. An empty Ref, with no
/// error set, for any other line. Throws only on a failure of its own (no memory).
Ref parse_event_line(TraceState &st, StringCache &strings, const char *s, size_t n,
                     Py_ssize_t max_depth);

/// Whether parse_event_line() gives what the plain route gives on every probe line it
/// takes (and takes at least one).
bool parsing_agrees(TraceState &st, PyObject *routes);

// --- line_reader.cpp

/// Look up what the reader and the parser need (false: they cannot be used). Called by
/// the fast routes' setup.
bool init_native_reader(TraceState &st);

enum class NativeRead {
    not_taken,  // the file is not one the reader takes: nothing was read
    done,       // every line was read and its event added
    again,      // something failed: read the whole file again through `file`, from its start
};

/// Read the lines of `file`, which `path.open()` just gave, into `trace` (fresh, of
/// exactly the class Trace). `text_line(line)` takes a line the reader leaves to the other
/// routes, as a str. `lines` counts the lines read so far, blank ones included, and
/// `in_line` says whether one is being handled, for the note of an error that is not an
/// Exception (those go on as they are). `native` is set to how many lines were parsed here.
NativeRead read_natively(FnObject *fn, TraceState &st, PyObject *path, PyObject *file,
                         PyObject *trace, const std::function<void(PyObject *line)> &text_line,
                         Py_ssize_t &lines, bool &in_line, Py_ssize_t &native);

/// Record how many lines the last successful read parsed natively.
void publish_native_reads(TraceState &st, Py_ssize_t native);

}  // namespace orrinth::trace
