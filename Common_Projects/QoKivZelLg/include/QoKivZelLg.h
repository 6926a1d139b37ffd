// QoKivZelLg: the framework's shared log. A plain C interface so that any
// compiler's modules can write to it.
#pragma once

#if defined(QOKIVZELLG_STATIC)
#define QOKIVZELLG_API
#elif defined(QOKIVZELLG_BUILD)
#define QOKIVZELLG_API __declspec(dllexport)
#else
#define QOKIVZELLG_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ZelLgEntry {
    const wchar_t* component;
    int level;           // 1 errors, warnings, progress; 3 detailed traces
    wchar_t type;        // ' ' information, 'E' error, 'W' warning
    int debug;           // nonzero for debug-only entries
    const wchar_t* text;
    unsigned long processId;
    unsigned long threadId;
} ZelLgEntry;

// Called for every entry, under the log's lock, before the entry is written to the file.
typedef void (*ZelLgSink)(const ZelLgEntry* entry, void* context);

// Writes one entry as one whole line of the log file.
QOKIVZELLG_API void ZelLgWrite(const wchar_t* component, int level, wchar_t type, int debug,
                               const wchar_t* text);

// The log directory: %QOKIVZEL_LOGDIR% if set, else %LOCALAPPDATA%\QoKivZel\Logs, else the
// temporary directory. Created on first use; null when none can be created.
QOKIVZELLG_API const wchar_t* ZelLgGetLogDir(void);

// Full path of the log file that ZelLgWrite appends to.
QOKIVZELLG_API const wchar_t* ZelLgGetLogFile(void);

// Keeps an existing file at path as path + ".bak" (replacing an older backup) so
// the file can be written anew. Returns nonzero on success or when there is no file.
QOKIVZELLG_API int ZelLgBackupFile(const wchar_t* path);

// Installs (or with null removes) one observer of all entries; tests capture entries with it.
QOKIVZELLG_API void ZelLgSetSink(ZelLgSink sink, void* context);

#ifdef __cplusplus
}
#endif
