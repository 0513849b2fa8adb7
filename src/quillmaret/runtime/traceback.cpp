// traceback.cpp: traceback entries that point into the module's source.
//
// A failure adds one entry to the pending exception: a minimal code object
// for (function, line, file) and a frame at that line, handed to the
// interpreter's traceback machinery. Code objects are cached by line in a
// sorted array, so a repeated failure at a known line creates no new code
// object or string.
#include "runtime.h"
#include "compat.h"  // PendingError, set_frame_line, thread_state

#include <frameobject.h>  // PyFrame_New

#include <cstring>  // std::memmove

namespace quill {
namespace {

constexpr int CACHE_GROWTH = 64;

// The position where `line` is or would be inserted among the cache's
// count >= 1 sorted entries.
int find_line(const CodeCache &cache, int line) noexcept {
    const CodeCacheEntry *e = cache.entries;
    int n = cache.count;
    // 1. Past the last entry: the common case while the cache fills in order.
    if (line > e[n - 1].line)
        return n;
    // 2-4. Bisection.
    int start = 0, end = n - 1, mid = 0;
    while (start < end) {
        mid = start + (end - start) / 2;
        if (line < e[mid].line)
            end = mid;
        else if (line > e[mid].line)
            start = mid + 1;
        else
            return mid;
    }
    return line > e[mid].line ? mid + 1 : mid;
}

// The cached code object for `line`, or null. Borrowed reference.
PyCodeObject *cached_code(int line) noexcept {
    const CodeCache &cache = quill_state.code_cache;
    if (line == 0 || !cache.entries)
        return nullptr;
    int pos = find_line(cache, line);
    if (pos < cache.count && cache.entries[pos].line == line)
        return cache.entries[pos].code;
    return nullptr;
}

// Stores `code` for `line` (line != 0), keeping the entries sorted. When the
// array cannot grow the code object is simply not cached.
void cache_code(PyCodeObject *code, int line) noexcept {
    CodeCache &cache = quill_state.code_cache;
    if (!cache.entries) {
        auto *entries = static_cast<CodeCacheEntry *>(
            PyMem_Malloc(CACHE_GROWTH * sizeof(CodeCacheEntry)));
        if (!entries)
            return;
        cache.entries = entries;
        cache.capacity = CACHE_GROWTH;
        cache.count = 1;
        entries[0] = CodeCacheEntry{.code = reinterpret_cast<PyCodeObject *>(Py_NewRef(code)),
                                    .line = line};
        return;
    }
    int pos = find_line(cache, line);
    if (pos < cache.count && cache.entries[pos].line == line) {
        Py_SETREF(cache.entries[pos].code, reinterpret_cast<PyCodeObject *>(Py_NewRef(code)));
        return;
    }
    if (cache.count == cache.capacity) {
        int capacity = cache.capacity + CACHE_GROWTH;
        auto *entries = static_cast<CodeCacheEntry *>(
            PyMem_Realloc(cache.entries, static_cast<size_t>(capacity) * sizeof(CodeCacheEntry)));
        if (!entries)
            return;
        cache.entries = entries;
        cache.capacity = capacity;
    }
    std::memmove(&cache.entries[pos + 1], &cache.entries[pos],
                 static_cast<size_t>(cache.count - pos) * sizeof(CodeCacheEntry));
    cache.entries[pos] = CodeCacheEntry{.code = reinterpret_cast<PyCodeObject *>(Py_NewRef(code)),
                                        .line = line};
    ++cache.count;
}

}  // namespace

void add_traceback(const char *funcname, int line, const char *filename) noexcept {
    // 1. The thread state, whose pending error gets the entry.
    PyThreadState *tstate = compat::thread_state();

    // 2. Set the pending error aside while the code object and the frame
    //    are made: neither may run with an error pending (the frame's lookup
    //    of __builtins__ in its globals, for one, gives up when it sees one,
    //    and the entry would be lost).
    compat::PendingError saved = compat::PendingError::take();

    // 3. The code object for the line: cached, or made and cached. If
    //    it cannot be made, its error replaces the one being reported.
    PyCodeObject *code = cached_code(line);
    if (code) {
        Py_INCREF(code);
    } else {
        code = PyCode_NewEmpty(filename, funcname, line);
        if (!code) {
            saved.drop();
            return;
        }
        if (line != 0)
            cache_code(code, line);
    }

    // 4. A frame at the line, with the module dictionary as globals. If it
    //    cannot be made, no entry is added and its error stands.
    PyFrameObject *frame = PyFrame_New(tstate, code, quill_state.module_dict, nullptr);
    Py_DECREF(code);
    if (!frame && PyErr_Occurred()) {
        saved.drop();
        return;
    }
    saved.restore();

    // 5. Append the entry to the pending traceback; it holds the frame.
    if (frame) {
        compat::set_frame_line(frame, line);
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace quill
