/* dirir2i: a small read-only SMB2 file server, embeddable as a library.
 *
 * One process-wide server. Configure it (options, shares, users, allow-list),
 * start it, read its counters, stop it, start it again. There is no handle
 * and no initialisation call.
 *
 * Results: DIRIR2I_OK (0) is success; the negative codes are the
 * DIRIR2I_E... values below. After a failure dirir2i_last_error() gives the
 * message.
 *
 * Texts returned by dirir2i_simulate, dirir2i_stats_json and dirir2i_selftest
 * are owned by the library and stay valid until the next successful call of
 * any of those three; never free them, and do not call those three
 * concurrently.
 */
#ifndef DIRIR2I_H
#define DIRIR2I_H

#include <stdint.h>

#if defined(__GNUC__) || defined(__clang__)
#define DIRIR2I_API __attribute__((visibility("default")))
#else
#define DIRIR2I_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What the functions that return an int report. The values are fixed. */
enum dirir2i_result {
    DIRIR2I_OK = 0,
    DIRIR2I_EARG = -1,     /* bad argument or value */
    DIRIR2I_ENOENT = -2,   /* no such item */
    DIRIR2I_EEXIST = -3,   /* already exists */
    DIRIR2I_ERUNNING = -4, /* already running */
    DIRIR2I_ESYS = -5,     /* a system facility failed */
    DIRIR2I_EFULL = -6,    /* table full */
    DIRIR2I_ENAME = -7,    /* bad name */
    DIRIR2I_ESMALL = -8    /* output area too small */
};

/* Publish a host folder or a single regular file under a share name. */
DIRIR2I_API int dirir2i_add_share(const char *name, const char *path);
/* Add a user, or replace the password of an existing one. */
DIRIR2I_API int dirir2i_add_user(const char *user, const char *password);
/* Admit clients from an address or address/prefix. Loopback is always admitted. */
DIRIR2I_API int dirir2i_allow_cidr(const char *cidr);
/* Client connections open right now. */
DIRIR2I_API int32_t dirir2i_client_count(void);
/* Message of the most recent failure (process-wide). */
DIRIR2I_API const char *dirir2i_last_error(void);
/* Port the server listens on, 0 when stopped. */
DIRIR2I_API int dirir2i_port(void);
DIRIR2I_API int dirir2i_remove_share(const char *name);
DIRIR2I_API int dirir2i_remove_user(const char *user);
/* Runs the crypto self-test: "selftest ok\n" or "selftest FAILED\n". */
DIRIR2I_API const char *dirir2i_selftest(void);
/* Counter `sessions` minus `logon_failed`, or 0 when not positive. */
DIRIR2I_API int32_t dirir2i_session_count(void);
DIRIR2I_API int dirir2i_set_option(const char *key, const char *value);
/* Replays one scripted client connection; returns the transcript or NULL. */
DIRIR2I_API const char *dirir2i_simulate(const char *script, const char *peer);
/* Binds (NULL or "" means 127.0.0.1), listens and starts serving. Port 0 lets
 * the system choose; server_name NULL keeps the `server_name` option. */
DIRIR2I_API int dirir2i_start(const char *bind, uint32_t port, const char *server_name);
/* Counters as one line of JSON. */
DIRIR2I_API const char *dirir2i_stats_json(void);
/* Stops serving and waits for every server thread. */
DIRIR2I_API void dirir2i_stop(void);
DIRIR2I_API const char *dirir2i_version(void);

#ifdef __cplusplus
}
#endif

#endif /* DIRIR2I_H */
