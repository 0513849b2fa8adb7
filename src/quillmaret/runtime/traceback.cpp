// traceback.cpp: traceback entries that point into the module's source.
//
// A failure adds one entry to the pending exception: a minimal code object
// for (function, line) in the module's one source file, SOURCE_FILE, and a
// frame at that line, handed to the interpreter's traceback machinery. Code
// objects are cached by line and function in a sorted array, so a repeated
// failure at a known place creates no new code object or string.
//
// Used by production: the import's and the initializer's failures (module.cpp,
// errors.cpp). The cache is for repeated failures of the initializer.
#include "runtime.h"
#include "compat.h"  // PendingError, set_frame_line, PyThreadState_GetUnchecked

#include <frameobject.h>  // PyFrame_New

#include <cstring>  // std::memmove, std::strcmp

namespace quill {
namespace {

constexpr int CACHE_GROWTH = 64;

// Orders cache entries by line, then by function name: two functions that
// fail on the same line need code objects of their own.
int compare(const CodeCacheEntry &e, int line, const char *funcname) noexcept {
    if (line != e.line)
        return line < e.line ? -1 : 1;
    return std::strcmp(funcname, e.funcname);
}

// The position where (line, funcname) is or would be inserted among the
// cache's count >= 1 sorted entries.
int find_entry(const CodeCache &cache, int line, const char *funcname) noexcept {
    const CodeCacheEntry *e = cache.entries;
    int n = cache.count;
    // 1. Past the last entry: the common case while the cache fills in order.
    if (compare(e[n - 1], line, funcname) > 0)
        return n;
    // 2. Bisection: the entries before `start` sort before the pair, the
    //    one at `end` not.
    int start = 0, end = n - 1;
    while (start < end) {
        int mid = start + (end - start) / 2;
        int order = compare(e[mid], line, funcname);
        if (order < 0)
            end = mid;
        else if (order > 0)
            start = mid + 1;
        else
            return mid;
    }
    return start;
}

// The cached code object for (line, funcname), or null. Borrowed reference.
PyCodeObject *cached_code(int line, const char *funcname) noexcept {
    const CodeCache &cache = quill_state.code_cache;
    if (line == 0 || cache.count == 0)
        return nullptr;
    int pos = find_entry(cache, line, funcname);
    if (pos < cache.count && compare(cache.entries[pos], line, funcname) == 0)
        return cache.entries[pos].code;
    return nullptr;
}

// Stores `code` for its line and name (line != 0), keeping the entries
// sorted. The entry's name is the UTF-8 form of the code object's own
// co_name, which lives as long as the entry holds the code object. When the
// name cannot be had or the array cannot grow, the code object is simply not
// cached.
void cache_code(PyCodeObject *code, int line) noexcept {
    const char *funcname = PyUnicode_AsUTF8(code->co_name);
    if (!funcname) {
        PyErr_Clear();
        return;
    }
    CodeCache &cache = quill_state.code_cache;
    if (!cache.entries) {
        auto *entries = static_cast<CodeCacheEntry *>(
            PyMem_Malloc(CACHE_GROWTH * sizeof(CodeCacheEntry)));
        if (!entries)
            return;
        cache.entries = entries;
        cache.capacity = CACHE_GROWTH;
        cache.count = 0;
    }
    int pos = cache.count ? find_entry(cache, line, funcname) : 0;
    if (pos < cache.count && compare(cache.entries[pos], line, funcname) == 0) {
        // Only a code object made while an equal one was cached gets here.
        Py_INCREF(code);
        PyCodeObject *old = cache.entries[pos].code;
        cache.entries[pos].code = code;
        cache.entries[pos].funcname = funcname;
        Py_DECREF(old);
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
                                        .line = line, .funcname = funcname};
    ++cache.count;
}

}  // namespace

namespace {

// New reference to a frame at `line` of `funcname` for a traceback entry,
// made with the pending error set aside: neither the code object nor the
// frame may be made with an error pending (the frame's lookup of
// __builtins__ in its globals, for one, gives up when it sees one, and the
// entry would be lost). Null when either cannot be made: with its error in
// place of the pending one, or, should it fail without one, with the
// pending error back and no entry.
PyFrameObject *entry_frame(const char *funcname, int line) noexcept {
    PyThreadState *tstate = PyThreadState_GetUnchecked();
    compat::PendingError saved;
    PyCodeObject *code = cached_code(line, funcname);
    if (code) {
        Py_INCREF(code);
    } else {
        code = PyCode_NewEmpty(SOURCE_FILE, funcname, line);
        if (!code) {
            saved.discard();
            return nullptr;
        }
        if (line != 0)
            cache_code(code, line);
    }
    PyFrameObject *frame = PyFrame_New(tstate, code, quill_state.module_dict, nullptr);
    Py_DECREF(code);
    if (!frame && PyErr_Occurred())
        saved.discard();
    return frame;
}

}  // namespace

void add_traceback(const char *funcname, int line) noexcept {
    PyFrameObject *frame = entry_frame(funcname, line);
    if (!frame)
        return;
    compat::set_frame_line(frame, line);
    PyTraceBack_Here(frame);  // the entry holds the frame
    Py_DECREF(frame);
}

}  // namespace quill
