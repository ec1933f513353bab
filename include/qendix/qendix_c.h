/* C interface of libqendix.so for hosts that do not speak the C++ interfaces.
 *
 * A qendix handle wraps one component object. Every function returns an HRESULT-style int: 0 (or
 * 1 for a soft result) on success, a negative value on failure; qendix_last_error() then gives a
 * text for the failure on the calling thread. Strings are UTF-8; strings returned to the caller
 * are freed with qendix_string_free. Event callbacks run on the thread that raises the event (a
 * job's worker thread) and receive the payload pointer given to qendix_advise.
 * A handle is used from one thread at a time; it may be freed while a job runs (the job keeps
 * the component alive until it ends). */
#ifndef QENDIX_QENDIX_C_H
#define QENDIX_QENDIX_C_H

#ifdef __cplusplus
extern "C" {
#endif

#define QENDIX_API __attribute__((visibility("default")))

typedef struct qendix qendix;

/* level: 0 debug .. 4 fatal; mclass: 0 system, 1 security client, 2 module, 3 count;
 * origin: 0 reader, 1 checker, 2 anonymizer, 3 encrypter, 4 sender, 5/6 Trust Center gate.
 * file and msg may be NULL. */
typedef void (*qendix_event_cb)(int level, int mclass, int origin, int code, const char* file,
                                const char* msg, void* payload);

QENDIX_API int qendix_open(qendix** out);
QENDIX_API void qendix_free(qendix* q);

/* Properties by name, as in the C++ interface: "trustCenter", "inputDirectory",
 * "workDirectory", "asasLogin" take text; "withPDF", "withArchive", "debug" take "true" or
 * "false". A NULL value stores a null text. */
QENDIX_API int qendix_set(qendix* q, const char* name, const char* value);
/* Any readable property; booleans read "true" or "false". *value is NULL for a null text. */
QENDIX_API int qendix_get(qendix* q, const char* name, char** value);
QENDIX_API void qendix_string_free(char* s);

QENDIX_API int qendix_advise(qendix* q, qendix_event_cb callback, void* payload,
                             unsigned* cookie);
QENDIX_API int qendix_unadvise(qendix* q, unsigned cookie);

/* Starts "read", "check", "anonymize", "send" or "auto"; returns at once. */
QENDIX_API int qendix_start(qendix* q, const char* job);
QENDIX_API int qendix_cancel(qendix* q);

/* The text of the last failure on this thread; never NULL. */
QENDIX_API const char* qendix_last_error(void);

#ifdef __cplusplus
}
#endif

#endif /* QENDIX_QENDIX_C_H */
