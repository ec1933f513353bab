/* C interface of libqendix.so for hosts that do not speak the C++ interfaces.
 *
 * A qendix handle wraps one component object. Every function that returns int returns an
 * HRESULT-style result: QENDIX_OK (0) or QENDIX_S_FALSE (1) on success, a negative QENDIX_E_*
 * value on failure; qendix_last_error() then gives a text for the failure on the calling thread.
 * No function lets a C++ exception escape: an internal fault is reported as QENDIX_E_UNEXPECTED,
 * an allocation failure as QENDIX_E_OUTOFMEMORY.
 *
 * Strings are UTF-8; strings returned to the caller are freed with qendix_string_free.
 *
 * Threads: a handle is used from one thread at a time, except that qendix_wait and
 * qendix_cancel may be called from any thread, and qendix_unadvise and qendix_free also from
 * inside an event callback. Event callbacks run on the thread that raises the event (a job's
 * worker thread), one at a time per handle, and receive the payload pointer given to
 * qendix_advise. A handle may be freed while a job runs (the job keeps the component alive
 * until it ends). qendix_last_error may be called from any thread. */
#ifndef QENDIX_QENDIX_C_H
#define QENDIX_QENDIX_C_H

#ifdef __cplusplus
extern "C" {
#endif

#define QENDIX_API __attribute__((visibility("default")))

/* Results (int). The failure codes are the 32-bit HRESULT values read as a signed int.
 *   QENDIX_OK                   success
 *   QENDIX_S_FALSE              soft result; from qendix_wait: the time ran out
 *   QENDIX_E_NOTIMPL            the job is not in this build
 *   QENDIX_E_POINTER            a required pointer is NULL
 *   QENDIX_E_FAIL               failed; see qendix_last_error
 *   QENDIX_E_UNEXPECTED         internal fault, or a call out of place
 *   QENDIX_E_OUTOFMEMORY        no memory
 *   QENDIX_E_INVALIDARG         unknown name or bad value
 *   QENDIX_E_BUSY               a job runs (in this or another process)
 *   QENDIX_E_CLASSNOTAVAILABLE  the component cannot be created
 *   QENDIX_E_NOCONNECTION       unknown cookie */
#define QENDIX_OK 0
#define QENDIX_S_FALSE 1
#define QENDIX_E_NOTIMPL ((int)0x80004001u)
#define QENDIX_E_POINTER ((int)0x80004003u)
#define QENDIX_E_FAIL ((int)0x80004005u)
#define QENDIX_E_UNEXPECTED ((int)0x8000FFFFu)
#define QENDIX_E_OUTOFMEMORY ((int)0x8007000Eu)
#define QENDIX_E_INVALIDARG ((int)0x80070057u)
#define QENDIX_E_BUSY ((int)0x800700AAu)
#define QENDIX_E_CLASSNOTAVAILABLE ((int)0x80040111u)
#define QENDIX_E_NOCONNECTION ((int)0x80040200u)

typedef struct qendix qendix;

/* level: 0 debug .. 4 fatal; mclass: 0 system, 1 security client, 2 module, 3 count;
 * origin: 0 reader, 1 checker, 2 anonymizer, 3 encrypter, 4 sender, 5/6 Trust Center gate.
 * file and msg may be NULL and are valid only during the call. */
typedef void (*qendix_event_cb)(int level, int mclass, int origin, int code, const char* file,
                                const char* msg, void* payload);

/* Creates a component; *out receives the handle (NULL on failure). */
QENDIX_API int qendix_open(qendix** out);

/* Disconnects every callback advised on q (as qendix_unadvise does, waiting for a callback that
 * runs on another thread) and frees the handle. A running job goes on to its end. q may be NULL
 * (nothing happens). */
QENDIX_API void qendix_free(qendix* q);

/* Properties by name, as in the C++ interface: "trustCenter", "inputDirectory",
 * "workDirectory", "asasLogin" take text; "withPDF", "withArchive", "debug" take "true" or
 * "false". A NULL value stores a null text. */
QENDIX_API int qendix_set(qendix* q, const char* name, const char* value);
/* Any readable property; booleans read "true" or "false". *value is NULL for a null text. */
QENDIX_API int qendix_get(qendix* q, const char* name, char** value);
/* Frees a string from qendix_get; NULL is allowed. */
QENDIX_API void qendix_string_free(char* s);

/* Connects a callback for the component's events; *cookie receives its number for
 * qendix_unadvise. */
QENDIX_API int qendix_advise(qendix* q, qendix_event_cb callback, void* payload, unsigned* cookie);
/* Disconnects a callback. When it returns, the callback runs no more: a call running on another
 * thread has returned first. Called from inside that callback itself it returns at once (the
 * callback in progress finishes normally) and no later call follows. Do not call it while
 * holding a lock that the callback takes. QENDIX_E_NOCONNECTION for an unknown cookie. */
QENDIX_API int qendix_unadvise(qendix* q, unsigned cookie);

/* Answers the component's yes-or-no questions (whether to download and start a newer version):
 * title and text are UTF-8, valid only during the call; return 1 for Yes, anything else for No.
 * Called on the job's worker thread, which waits for the answer. Without a prompt every question
 * is answered No. A NULL callback removes the prompt; once qendix_set_prompt or qendix_free
 * returns, the previous callback runs no more (as with qendix_unadvise). */
typedef int (*qendix_prompt_cb)(const char* title, const char* text, void* payload);
QENDIX_API int qendix_set_prompt(qendix* q, qendix_prompt_cb callback, void* payload);

/* Starts "read", "check", "anonymize", "send" or "auto"; returns at once. QENDIX_E_BUSY when a
 * job runs, QENDIX_E_INVALIDARG for an unknown name, QENDIX_E_NOTIMPL for a job not in this
 * build. */
QENDIX_API int qendix_start(qendix* q, const char* job);
/* Asks the running job to stop before its next file; returns at once. */
QENDIX_API int qendix_cancel(qendix* q);

/* Waits until the job last started with qendix_start on this handle has ended: its last event
 * (the end event of its last step) has been delivered and its worker thread is done with the
 * component. timeout_ms < 0 waits without limit, 0 only looks. QENDIX_OK when the job has
 * ended or none was started; QENDIX_S_FALSE when the time ran out first; QENDIX_E_UNEXPECTED
 * when called from a callback on that job's own worker thread (it would wait for itself). */
QENDIX_API int qendix_wait(qendix* q, int timeout_ms);

/* The text of the last failure on this thread; never NULL. The pointer stays valid for the
 * thread's life; the text changes with its next failure. */
QENDIX_API const char* qendix_last_error(void);

#ifdef __cplusplus
}
#endif

#endif /* QENDIX_QENDIX_C_H */
