/* libnuv: the NUV firmware updater as a C library (C99).
 *
 * Finds the update device (USB HID, vendor 0xFFFF, product 0x0100), reads its version,
 * writes an update image into it, reads it back, checks, packs and unpacks update images, and
 * emulates the device in the process for tests. Every flow is the one vornex-cli runs, with
 * the same outcome names.
 *
 * Conventions, for every function:
 * - It returns a nuv_status; NUV_OK is 0. Nothing is thrown or aborted across this boundary.
 * - Strings, in and out, are UTF-8 and end with a zero byte.
 * - Pointers handed in are borrowed for the call only, unless the function says otherwise.
 * - What a function hands out is freed as its comment says: handles with their *_free
 *   function, names (nuv_*_name) never (they live as long as the library).
 * - A `nuv_error *error` parameter may be NULL; otherwise it receives a sentence saying what
 *   went wrong ("" on success).
 * - Thread safety: the library holds no state of its own between calls. Different handles may
 *   be used from different threads at the same time; one handle by one thread at a time,
 *   except nuv_device_cancel(), which any thread may call at any moment.
 *
 * Build against it with `pkg-config --cflags --libs nuv`. */
#ifndef NUV_NUV_H
#define NUV_NUV_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define NUV_API __attribute__((visibility("default")))
#else
#define NUV_API
#endif

/* ---- Statuses ---- */

typedef enum nuv_status {
  NUV_OK = 0,
  NUV_E_ARGUMENT = 1,    /* a NULL handle or pointer, an unknown value, a bad fault text */
  NUV_E_NO_DEVICE = 2,   /* no update device attached, or none that the selector names */
  NUV_E_AMBIGUOUS = 3,   /* several devices attached and none named, or a selector names
                            several: name one (see nuv_device_list) */
  NUV_E_ACCESS = 4,      /* the device is there but this user may not open it (udev rule) */
  NUV_E_FAILED = 5,      /* the flow ran and ended other than completed: see the nuv_result */
  NUV_E_IMAGE = 6,       /* an image or firmware of the wrong size (pack, unpack) */
  NUV_E_FILE = 7,        /* a file could not be read */
  NUV_E_BUFFER = 8,      /* the output buffer is too small: *written says how much is needed */
  NUV_E_UNSUPPORTED = 9, /* no device access on this system */
  NUV_E_INTERNAL = 10    /* anything else (out of memory, a bug): the error says what */
} nuv_status;

/* "ok", "argument", "no_device", "ambiguous", "access", "failed", "image", "file", "buffer",
 * "unsupported", "internal"; "" for a value that is none of these. Never freed. */
NUV_API const char* nuv_status_name(int status);

/* What went wrong, in a sentence (truncated to fit). Owned by the caller. */
typedef struct nuv_error {
  char message[256];
} nuv_error;

/* The library's version, "1.1.0". Never freed. */
NUV_API const char* nuv_library_version(void);

/* ---- How a flow ended: the outcome vocabulary of every front end ---- */

typedef enum nuv_outcome {
  NUV_OUTCOME_COMPLETED = 0,
  NUV_OUTCOME_CANCELLED,
  NUV_OUTCOME_NO_DEVICE,
  NUV_OUTCOME_IMAGE_REFUSED,
  NUV_OUTCOME_DEVICE_VERSION_REFUSED,
  NUV_OUTCOME_TIMEOUT,
  NUV_OUTCOME_NO_RESPONSE,
  NUV_OUTCOME_DATA_ERROR,
  NUV_OUTCOME_WRITE_FAILED,
  NUV_OUTCOME_ECHO_MISMATCH,
  NUV_OUTCOME_DEVICE_GONE,
  NUV_OUTCOME_STALLED,
  NUV_OUTCOME_VERIFY_MISMATCH,
  NUV_OUTCOME_FILE_ERROR
} nuv_outcome;

typedef enum nuv_step {
  NUV_STEP_IMAGE = 0, /* the image's own checks, before anything is sent */
  NUV_STEP_LINK,
  NUV_STEP_VERSION,
  NUV_STEP_ERASE,
  NUV_STEP_WRITE,
  NUV_STEP_BURN,
  NUV_STEP_READ
} nuv_step;

typedef enum nuv_device_state {
  NUV_DEVICE_UNTOUCHED = 0,  /* nothing erased: the old firmware still works */
  NUV_DEVICE_ERASED,         /* erased: needs a complete download before it works */
  NUV_DEVICE_PARTLY_WRITTEN, /* erased and partly written, not burnt */
  NUV_DEVICE_BURNT           /* Burn was sent: the device committed what it held */
} nuv_device_state;

typedef enum nuv_reason {
  NUV_REASON_NONE = -1,
  NUV_REASON_SIZE = 0,  /* not 65,536 bytes */
  NUV_REASON_VERSION,   /* does not start with the program's version text (strict flow) */
  NUV_REASON_UNREADABLE /* the file could not be read */
} nuv_reason;

/* The names every front end uses ("completed", "timeout", ...; "write", "burn", ...;
 * "untouched", "partly_written", ...; "size", "version", "unreadable"), or "" for a value that
 * is none. Never freed. */
NUV_API const char* nuv_outcome_name(int outcome);
NUV_API const char* nuv_step_name(int step);
NUV_API const char* nuv_device_state_name(int state);
NUV_API const char* nuv_reason_name(int reason);

/* The end of one flow. Filled by nuv_read_version, nuv_download, nuv_verify and
 * nuv_image_check; owned by the caller. */
typedef struct nuv_result {
  int outcome;             /* nuv_outcome */
  int step;                /* nuv_step: where the flow was when it ended */
  int32_t address;         /* the Write's or Read's address in question, the first that differs for
                              verify_mismatch; -1 for none */
  char device_version[16]; /* what the device reported ("1.01"); "" when it did not */
  int device_state;        /* nuv_device_state: what the flow left on the device */
  int reason;              /* nuv_reason, for image_refused; NUV_REASON_NONE otherwise */
  uint32_t mismatched_bytes; /* verify_mismatch: how many bytes differ */
  char message[256];         /* what the link said when a report could not go through, or "" */
} nuv_result;

/* What to do next after `result`, one or two sentences; "" for a completed flow. Never
 * freed. */
NUV_API const char* nuv_result_advice(const nuv_result* result);

/* ---- Update images (65,536 bytes) and firmware (64,512 bytes) ---- */

#define NUV_IMAGE_SIZE 65536u
#define NUV_FIRMWARE_SIZE 64512u

typedef enum nuv_flow {
  NUV_FLOW_STRICT = 0, /* Vornex's flow: checks the image's version and the device's,
                          a time-out on every exchange (the default) */
  NUV_FLOW_ECHO = 1    /* QuenlorHID's flow: checks the echo of every Write, no time-outs
                          but the stall limit */
} nuv_flow;

/* What inspect tells of an image. Owned by the caller. */
typedef struct nuv_image_info {
  uint64_t size;
  char header[72];       /* the 16 header bytes, a non-printable one as \xNN */
  char version[24];      /* "1.01" for an image that starts with "V1.01" */
  int accepted;          /* 1 when the strict flow takes the image, 0 otherwise */
  int reason;            /* nuv_reason when refused; NUV_REASON_NONE otherwise */
  char refusal[32];      /* the strict program's own words: "Filesize is error", ... or "" */
  char reason_text[192]; /* the refusal explained for a person, or "" */
} nuv_image_info;

/* Inspects the `size` bytes at `image` (NULL only when size is 0). */
NUV_API nuv_status nuv_image_inspect(const uint8_t* image, size_t size, nuv_image_info* info);
/* Inspects the file at `path`. NUV_E_FILE when it cannot be read (see `error`). */
NUV_API nuv_status nuv_image_inspect_file(const char* path, nuv_image_info* info, nuv_error* error);

/* Whether `flow`'s download takes the image, without any device: NUV_OK, or NUV_E_FAILED with
 * `result` saying image_refused and why (the strict flow checks the size and the version
 * text, the echo flow the size alone). `result` may be NULL. */
NUV_API nuv_status nuv_image_check(const uint8_t* image, size_t size, int flow, nuv_result* result);

/* Builds an image from exactly NUV_FIRMWARE_SIZE bytes of firmware; every gap and filler byte
 * gets `filler`. Writes NUV_IMAGE_SIZE bytes to `out` (`capacity` at least that, or
 * NUV_E_BUFFER). NUV_E_IMAGE for firmware of another size. `*written` (may be NULL) gets the
 * bytes written, or with NUV_E_BUFFER the bytes needed. */
NUV_API nuv_status nuv_image_pack(const uint8_t* firmware, size_t size, uint8_t filler,
                                  uint8_t* out, size_t capacity, size_t* written);
/* The inverse: the NUV_FIRMWARE_SIZE firmware bytes of a NUV_IMAGE_SIZE-byte image. */
NUV_API nuv_status nuv_image_unpack(const uint8_t* image, size_t size, uint8_t* out,
                                    size_t capacity, size_t* written);

/* ---- Attached devices ---- */

/* One attached update device. The strings belong to the list they came from. */
typedef struct nuv_device_info {
  const char* path;          /* "/dev/hidraw3" */
  const char* usb_port;      /* "1-3.2", or NULL when not on USB */
  const char* serial;        /* the HID unique id, or NULL when the device has none */
  const char* manufacturer;  /* "" when unknown */
  const char* product;       /* "" when unknown */
  int can_open;              /* 1 when this user may open it */
  const char* access_detail; /* why not, or "" */
} nuv_device_info;

typedef struct nuv_device_list nuv_device_list;

/* The update devices attached now, in a stable order. Free with nuv_device_list_free(). */
NUV_API nuv_status nuv_device_list_new(nuv_device_list** out, nuv_error* error);
NUV_API size_t nuv_device_list_count(const nuv_device_list* list);
/* Device `index` (below the count). Its strings live as long as the list. */
NUV_API nuv_status nuv_device_list_get(const nuv_device_list* list, size_t index,
                                       nuv_device_info* info);
NUV_API void nuv_device_list_free(nuv_device_list* list);

/* ---- The emulated update device ---- */

typedef struct nuv_emulator nuv_emulator;

typedef struct nuv_emulator_options {
  uint32_t latency_ms;       /* how long each reply takes; 0: at once */
  const char* version;       /* the device's four version characters; NULL: "1.01" */
  const char* const* faults; /* `fault_count` faults as vornex-cli's --sim-fault spells them:
                                "no-reply@0x2000", "wrong-data@write+", "late:5000@#3" */
  size_t fault_count;
} nuv_emulator_options;

/* Sets the defaults: no latency, version "1.01", no faults. */
NUV_API void nuv_emulator_options_init(nuv_emulator_options* options);

/* An emulated update device in this process, on a bus of its own; its memory starts filled
 * with 0x5A ("the old firmware"). `options` NULL: the defaults. NUV_E_ARGUMENT for a fault
 * text that does not parse (`error` says why). Free with nuv_emulator_free(); a device
 * opened on it keeps it alive until that device is freed. */
NUV_API nuv_status nuv_emulator_new(const nuv_emulator_options* options, nuv_emulator** out,
                                    nuv_error* error);
/* Copies the emulator's 65,536 bytes of memory into `out` (`capacity` at least
 * NUV_IMAGE_SIZE, or NUV_E_BUFFER). `*written` (may be NULL) gets the bytes copied, or with
 * NUV_E_BUFFER the bytes needed. */
NUV_API nuv_status nuv_emulator_memory(const nuv_emulator* emulator, uint8_t* out, size_t capacity,
                                       size_t* written);
NUV_API void nuv_emulator_free(nuv_emulator* emulator);

/* ---- One device, opened ---- */

typedef struct nuv_device nuv_device;

/* Opens the attached device that `selector` names: a node path ("/dev/hidraw3", or a link to
 * it), "usb:PORT" or "serial:TEXT", as vornex-cli's --device; NULL or "" takes the one
 * attached device. NUV_E_NO_DEVICE when none is there (or the selector names none),
 * NUV_E_AMBIGUOUS when several are attached and none is named (or the selector names
 * several), NUV_E_ACCESS when this user may not open it. Free with nuv_device_free(). */
NUV_API nuv_status nuv_device_open(const char* selector, nuv_device** out, nuv_error* error);
/* Opens the emulated device of `emulator`. Free with nuv_device_free(). */
NUV_API nuv_status nuv_device_open_emulator(nuv_emulator* emulator, nuv_device** out,
                                            nuv_error* error);
/* The node path of the device, or "sim:update-device" for an emulated one. Lives as long as
 * the device. */
NUV_API const char* nuv_device_path(const nuv_device* device);
/* Asks the flow running on `device` to stop: it ends as cancelled within 50 ms, leaving the
 * device as the flow leaves it (see the result's device_state). Any thread may call it, also
 * before the flow starts. A cancel lasts: every later flow on this device ends cancelled at
 * once, so open the device again to go on. */
NUV_API nuv_status nuv_device_cancel(nuv_device* device);
/* Closes the device. It must not be running a flow. */
NUV_API void nuv_device_free(nuv_device* device);

/* ---- Running a flow ---- */

/* Called on the thread that runs the flow, in the flow's order. `user` is the run options'. */
typedef void (*nuv_progress_fn)(void* user, uint32_t done, uint32_t total, uint32_t address);
typedef void (*nuv_step_fn)(void* user, int step);
/* A status line as the windows show it ("Link...", "Update Completed"); valid during the
 * call only. */
typedef void (*nuv_log_fn)(void* user, const char* line);

#define NUV_DEFAULT_STALL_TIMEOUT_MS 10000u

typedef struct nuv_run_options {
  int flow;                  /* nuv_flow; NUV_FLOW_STRICT by default */
  int verify;                /* nuv_download: read the image back after it (1) */
  uint32_t stall_timeout_ms; /* echo flow: how long a reply may be awaited; 0 for ever */
  nuv_progress_fn progress;  /* each may be NULL */
  nuv_step_fn step;
  nuv_log_fn log;
  void* user;
} nuv_run_options;

/* Sets the defaults: strict flow, no verify, stall limit NUV_DEFAULT_STALL_TIMEOUT_MS, no
 * callbacks. */
NUV_API void nuv_run_options_init(nuv_run_options* options);

/* Each runs its flow to its end, blocking the calling thread, and fills `result` (which must
 * not be NULL). NUV_OK when the flow completed, NUV_E_FAILED when it ended otherwise (the
 * result says how, where and what the device holds now), NUV_E_ARGUMENT for a bad argument
 * (the result then says nothing). `options` NULL: the defaults. */

/* Asks the device for its version: result->device_version. */
NUV_API nuv_status nuv_read_version(nuv_device* device, const nuv_run_options* options,
                                    nuv_result* result);
/* Writes the NUV_IMAGE_SIZE-byte image into the device; with options->verify, reads it back
 * on the same device afterwards. The image is checked (nuv_image_check) before anything is
 * sent. */
NUV_API nuv_status nuv_download(nuv_device* device, const uint8_t* image, size_t size,
                                const nuv_run_options* options, nuv_result* result);
/* Reads the device's memory back and compares it with the image: verify_mismatch with the
 * first address that differs and how many bytes do. With the echo flow it also reads
 * 0xFC00..0xFFFF, which that flow's download fills with zeros. */
NUV_API nuv_status nuv_verify(nuv_device* device, const uint8_t* image, size_t size,
                              const nuv_run_options* options, nuv_result* result);

#ifdef __cplusplus
}
#endif

#endif /* NUV_NUV_H */
