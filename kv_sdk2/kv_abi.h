/* The records, constants and opcodes exchanged between a Kolvex host and a
 * plug-in library. Plain C, shared by the frame and by the substitute host.
 *
 * Layout. On the host's own platform (32-bit x86) every record has the
 * offsets written beside its fields, checked by static assertions below.
 * On 64-bit builds the fields keep their order, every pointer (and every
 * pointer-sized integer) is 8 bytes and naturally aligned, every other field
 * is 4 bytes, and reserved words stay 32-bit; the compiler inserts the 4-byte
 * pads that natural alignment needs (noted where they occur). */
#ifndef KV_ABI_H
#define KV_ABI_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Revisions and record tags ------------------------------------------ */
#define KV_REVISION_CURRENT 2230 /* frame_revision of the current frame */
#define KV_REVISION_OLDER 2120   /* frame_revision of the older frame */
#define KV_DSP_MAGIC 0x4B56507B  /* first word of a KVHostRecord */
#define KV_GUI_MAGIC 0x4B56504D  /* first word of a KVGuiHostRecord */
#define KV_RECORD_FORMAT 1       /* second word of both records */

/* Kinds of instance makeModule creates. */
#define KV_KIND_DSP 1
#define KV_KIND_GUI 2

/* ---- Entry signatures ---------------------------------------------------- */
/* The host callback and the records' dispatch entries: (record, opcode, index,
 * value, ptr, opt) -> pointer-sized result. Unlisted arguments are 0.
 *
 * Threads. The host enters one instance from one thread at a time and never
 * twice at once. A DSP instance's dispatch, process and event entries run on
 * the host's audio thread (set-up and MOD_CLOSE may come from another thread,
 * never while audio runs), and its callback requests come back on the thread
 * that entered it; the process and event entries must not allocate, lock or do
 * I/O. A GUI instance's entries and requests run on the user-interface thread;
 * all GUI objects of one library share that thread (the frame's single pin
 * handle). The two sides of one module share no memory: the host carries the
 * values of IO_UI_COMMUNICATION pins between the threads. */
typedef intptr_t (*kvaudioMaster)(void* record, int32_t opcode, int32_t index, int32_t value,
                                  void* ptr, float opt);
typedef kvaudioMaster KVDispatchEntry;

struct KVTimedEvent;

/* Process entry: run the current process function on `object` (the record's
 * object word) for `count` samples from buffer offset `first`. The host keeps
 * every DT_FSAMPLE buffer from block to block, so an output announced PS_STILL
 * (or PS_STEP, after its step) may be left unwritten: it keeps the samples the
 * module last wrote there. An output announced PS_STREAM is written in full. */
typedef void (*KVProcessEntry)(void* object, int32_t first, int32_t count);

/* Event entry: deliver one event to `object` while HOST_CLOCK equals its stamp. */
typedef void (*KVEventEntry)(void* object, struct KVTimedEvent* event);

/* ---- Module identity ----------------------------------------------------- */
typedef struct KVModuleInfo {
    const char* name;       /* @0  display name; static text of the library */
    const char* id;         /* @4  unique identifier; the same text as name */
    const char* about;      /* @8  help text, possibly empty */
    int32_t flags;          /* @12 module flag word, host-interpreted; left as passed if unset */
    int32_t flags_ext;      /* @16 second flag word, host-interpreted; left as passed if unset */
    int32_t frame_revision; /* @20 2230 current frame, 2120 older frame */
} KVModuleInfo;

/* Exported by every library (plain symbol names):
 *   bool  getModuleProperties(int32_t index, KVModuleInfo* info);
 *   void* makeModule(int32_t index, int32_t kind, kvaudioMaster callback, void* host_reference);
 * getModuleProperties writes frame_revision first (whatever the index), then
 * answers true and fills the rest only for index 0. makeModule answers the
 * address of a KVHostRecord (kind 1) or KVGuiHostRecord (kind 2), or null. */
typedef bool (*KVGetModulePropertiesFn)(int32_t index, KVModuleInfo* info);
typedef void* (*KVMakeModuleFn)(int32_t index, int32_t kind, kvaudioMaster callback,
                                void* host_reference);

/* ---- The record of a DSP instance (48 bytes on 32-bit) -------------------- */
typedef struct KVHostRecord {
    int32_t magic;          /* @0  KV_DSP_MAGIC */
    int32_t format;         /* @4  KV_RECORD_FORMAT */
    void* host_reference;   /* @8  makeModule's fourth argument, unchanged */
    void* object;           /* @12 the module object: receiver of process and event entries */
    int32_t reserved0;      /* @16 0 (64-bit: followed by a 4-byte pad) */
    KVDispatchEntry dispatch; /* @20 host -> instance requests (MOD_ opcodes) */
    KVProcessEntry process; /* @24 current process function; re-read on HOST_PROCESS_CHANGED */
    KVEventEntry event;     /* @28 delivers a KVTimedEvent at its sample clock */
    int32_t reserved[4];    /* @32 0 */
} KVHostRecord;

/* ---- The record of a GUI instance (40 bytes on 32-bit) -------------------- */
typedef struct KVGuiHostRecord {
    int32_t magic;          /* @0  KV_GUI_MAGIC */
    int32_t format;         /* @4  KV_RECORD_FORMAT */
    KVDispatchEntry dispatch; /* @8  host -> instance requests (GUI_ opcodes) */
    void* host_reference;   /* @12 makeModule's fourth argument, unchanged */
    void* object;           /* @16 the GUI object */
    int32_t reserved[5];    /* @20 0 (64-bit: @32, then a 4-byte tail pad) */
} KVGuiHostRecord;

/* ---- Pin descriptions (32 bytes on 32-bit) ------------------------------- */
/* Data types. */
#define DT_CHOICE 0       /* 16-bit signed: list index or ranged number */
#define DT_STRING 1       /* text (GUI side) */
#define DT_MIDI_STREAM 2  /* MIDI messages as EV_MIDI events */
#define DT_SWITCH 4       /* one byte on/off */
#define DT_FSAMPLE 5      /* one float per sample, one buffer per block */
#define DT_REAL32 6       /* 32-bit float */
#define DT_WHOLE32 8      /* 32-bit signed integer */

/* Directions. */
#define DR_INPUT 0
#define DR_OUT 1
#define DR_CONFIG 3 /* a setting; treated like an input */

/* Pin flags. */
#define IO_REPEAT_LAST 0x8          /* last pin repeats to fill the host's pin count */
#define IO_PRIVATE 0x100            /* host-interpreted */
#define IO_UI_COMMUNICATION 0x400   /* pin of the GUI side */
#define IO_DSP_VISIBLE 0x8000       /* with IO_UI_COMMUNICATION: the DSP side sees it too */
#define IO_PATCH_STORE 0x10000      /* stored with the patch */

/* Whether a description with these flags gets a DSP-side pin: a PinAt position,
 * counted by HOST_PIN_COUNT. The current frame gives one to every description
 * but a GUI-only one (IO_UI_COMMUNICATION without IO_DSP_VISIBLE); the older
 * frame gives one to every description. The frame, the host and its checks
 * all count pins by this rule. */
static inline bool KVIsDspSidePin(int32_t flags, int32_t frame_revision) {
    return frame_revision == KV_REVISION_OLDER || (flags & IO_UI_COMMUNICATION) == 0 ||
           (flags & IO_DSP_VISIBLE) != 0;
}

typedef struct KVPinProperties {
    void* variable;            /* @0  bound module member (DT_FSAMPLE: a float* the host points
                                      at the pin's buffer), or null */
    int32_t direction;         /* @4  DR_INPUT, DR_OUT or DR_CONFIG (64-bit: @8) */
    int32_t datatype;          /* @8  DT_ code */
    const char* name;          /* @12 pin label (64-bit: @16, after a pad) */
    const char* default_value; /* @16 default as text (volts for DT_FSAMPLE), or null */
    const char* choices;       /* @20 "A=1,B=0", "A,B,C" or "range lo,hi" for DT_CHOICE */
    int32_t flags;             /* @24 IO_ bits; bits 0x4 and 0x20000 pass through unchanged */
    void* spare;               /* @28 always null (64-bit: after a pad) */
} KVPinProperties;

/* ---- Events (24 bytes on 32-bit) ----------------------------------------- */
#define PS_STILL 0  /* the value does not change */
#define PS_STEP 1   /* changed once at the stamped sample, then stays */
#define PS_STREAM 2 /* may change at every sample from the stamped sample on */

#define EV_PIN_STATUS 0 /* value: new status; extra: DSP pin index */
#define EV_MIDI 2       /* value: status | d1 << 8 | d2 << 16; value2: 16-bit datum */
#define EV_CALL 21      /* extra: code address of a module member function, run without arguments */

typedef struct KVTimedEvent {
    uint32_t time_stamp;        /* @0  sample clock at which the event takes effect */
    int32_t kind;               /* @4  EV_ kind */
    int32_t value;              /* @8  first datum */
    int32_t value2;             /* @12 second datum */
    intptr_t extra;             /* @16 third datum, pointer-sized */
    struct KVTimedEvent* next;  /* @20 null when posted; the host's own */
} KVTimedEvent;

/* ---- Answer to MOD_CALL_INFO (16 bytes) ----------------------------------- */
#define KV_CALL_ABI_TWO_WORD 1002 /* {code address, receiver adjustment}, receiver first argument */
#define KV_CALL_ABI_FOUR_WORD 0   /* four-word form, receiver in a register */

typedef struct KVCallInfo {
    int32_t version;          /* 1 */
    int32_t member_size;      /* bytes of the process member-function pointer */
    int32_t member_offset;    /* byte offset of that member pointer inside the instance */
    int32_t abi;              /* KV_CALL_ABI_ code */
} KVCallInfo;

/* ---- Module opcodes: host -> DSP dispatch entry ---------------------------- */
/* Order: MOD_SAMPLE_RATE and MOD_BLOCK_SIZE, MOD_PIN_INFO from 0 until refused,
 * MOD_OPEN (the host answers HOST_PIN_COUNT from then on), then process and event
 * entries, MOD_CLOSE last. Opcodes 7 and 10 are never sent (a debug frame stops
 * with "false"). */
#define MOD_OPEN 0          /* Open; result 0 */
#define MOD_CLOSE 1         /* Close, then the instance destroys itself; result 1 */
#define MOD_SAMPLE_RATE 2   /* rate in opt; result 0 */
#define MOD_BLOCK_SIZE 3    /* size in value; result 0 */
#define MOD_PIN_INFO 6      /* describe pin `index` into ptr (a cleared KVPinProperties); 1 or 0 */
#define MOD_OP8 8           /* reserved, unused: forwarded to empty hooks, which no module
                               overrides; the host sends it only to test it is ignored; 0 */
#define MOD_OP12 12         /* reserved, unused: forwarded to an empty hook (value, index,
                               ptr); the host sends it only to test it is ignored; 0 */
#define MOD_CALL_INFO 13    /* answers a KVCallInfo* (current frame); 0 in the older frame */

/* ---- GUI opcodes: host -> GUI dispatch entry ------------------------------- */
#define GUI_INIT 0          /* OnGuiInit(index == 1); result 0 */
#define GUI_CLOSE 1         /* close hook, then the object destroys itself; result 1 */
/* Opcodes 2-6, 8, 9, 11 and 12 are reserved and unused by the deliverables: the
 * frame forwards each to an empty hook and answers 0; the host sends them only
 * to test that they are ignored. */
#define GUI_OP2 2           /* reserved, unused: OnGuiOp2(index, ptr) */
#define GUI_OP3 3           /* reserved, unused: OnGuiOp3(ptr, opt, point {index, value}) */
#define GUI_OP4 4           /* reserved, unused: OnGuiOp4(ptr, opt, point) */
#define GUI_OP5 5           /* reserved, unused: OnGuiOp5(ptr, opt, point) */
#define GUI_OP6 6           /* reserved, unused: OnGuiOp6(value, index, ptr) */
#define GUI_PIN_CHANGED 7   /* OnGuiPinChanged for description index `index`; result 0. Sent
                               after every write that changed a pin, the GUI side's own
                               writes included, before the write returns: it may re-enter */
#define GUI_OP8 8           /* reserved, unused: OnGuiOp8(ptr) */
#define GUI_OP9 9           /* reserved, unused: OnGuiOp9(ptr) */
#define GUI_OP10 10         /* OnGuiOp10(); result 1 if it answered true */
#define GUI_OP11 11         /* reserved, unused: OnGuiOp11(index) */
#define GUI_OP12 12         /* reserved, unused: OnGuiOp12(index) */

/* ---- Host opcodes: DSP side -> kvaudioMaster (index = PinAt position) ------- */
/* Asked from inside the instance's entries, on the audio thread; the host answers
 * without allocating or locking. HOST_CLOCK answers the first sample of the slice
 * being processed, or the stamp of the event being delivered. The other opcodes
 * (2, 5, 6, 9, 11-13, 15-18, 20, 21) are unused: the host answers them 0. */
#define HOST_OUT_STATUS 0       /* index pin, value status, ptr clock: output status from clock on */
#define HOST_PIN_QUERY 1        /* index pin: non-zero = yes */
#define HOST_CLOCK 3            /* answers the current sample clock */
#define HOST_PIN_AT_TIME 4      /* index pin, value int, ptr clock >= current: the host sets
                                   that value output at that clock and passes the change on
                                   as it passes on HOST_OUT_STATUS */
#define HOST_PIN_BUFFER 7       /* index pin: answers the pin's float buffer */
#define HOST_PIN_BLOCK_START 8  /* index pin: answers the clock of the buffer's first sample */
#define HOST_DORMANT 10         /* no process calls needed until the next event */
#define HOST_PIN_COUNT 14       /* answers the DSP-side pin count, repeats included */
#define HOST_POST_EVENT 19      /* ptr KVTimedEvent, copied during the call */
#define HOST_PROCESS_CHANGED 22 /* the record's process entry changed: re-read it */

/* ---- Host opcodes: GUI side -> kvaudioMaster (index = description index) ----- */
/* Asked from inside the GUI instance's entries, on the user-interface thread. */
#define GUIHOST_PUT_TEXT 6      /* index pin, ptr zero-terminated text */
#define GUIHOST_GET_TEXT 7      /* index pin: answers a zero-terminated text, never null */
#define GUIHOST_OP8 8           /* reserved, unused by the deliverables: index, value, ptr; the
                                   answer (0 from the substitute host) returned to the caller */
#define GUIHOST_GET_VALUE 14    /* index pin, ptr 4-byte result: int or float stored there */
#define GUIHOST_PUT_VALUE 15    /* index pin, int in value or float in opt */
#define GUIHOST_GET_WTEXT 17    /* index pin, value capacity, ptr UTF-16 buffer; capacity 0:
                                   answers units needed, terminator included */
#define GUIHOST_OP18 18         /* reserved, unused by the deliverables: ptr; answer returned */
#define GUIHOST_OP19 19         /* reserved, unused by the deliverables: ptr; answer returned */
#define GUIHOST_OP20 20         /* reserved, unused by the deliverables: ptr; answer used as a
                                   bool */
#define GUIHOST_REGISTER 22     /* index 1 or 0 */

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ---- Layout proofs --------------------------------------------------------- */
#if defined(__cplusplus) && defined(__i386__)
#include <cstddef>
static_assert(sizeof(KVModuleInfo) == 24, "KVModuleInfo");
static_assert(offsetof(KVModuleInfo, id) == 4 && offsetof(KVModuleInfo, about) == 8 &&
                  offsetof(KVModuleInfo, flags) == 12 && offsetof(KVModuleInfo, flags_ext) == 16 &&
                  offsetof(KVModuleInfo, frame_revision) == 20,
              "KVModuleInfo offsets");
static_assert(sizeof(KVHostRecord) == 48, "KVHostRecord");
static_assert(offsetof(KVHostRecord, format) == 4 && offsetof(KVHostRecord, host_reference) == 8 &&
                  offsetof(KVHostRecord, object) == 12 && offsetof(KVHostRecord, reserved0) == 16 &&
                  offsetof(KVHostRecord, dispatch) == 20 && offsetof(KVHostRecord, process) == 24 &&
                  offsetof(KVHostRecord, event) == 28 && offsetof(KVHostRecord, reserved) == 32,
              "KVHostRecord offsets");
static_assert(sizeof(KVGuiHostRecord) == 40, "KVGuiHostRecord");
static_assert(offsetof(KVGuiHostRecord, format) == 4 && offsetof(KVGuiHostRecord, dispatch) == 8 &&
                  offsetof(KVGuiHostRecord, host_reference) == 12 &&
                  offsetof(KVGuiHostRecord, object) == 16 && offsetof(KVGuiHostRecord, reserved) == 20,
              "KVGuiHostRecord offsets");
static_assert(sizeof(KVPinProperties) == 32, "KVPinProperties");
static_assert(offsetof(KVPinProperties, direction) == 4 && offsetof(KVPinProperties, datatype) == 8 &&
                  offsetof(KVPinProperties, name) == 12 &&
                  offsetof(KVPinProperties, default_value) == 16 &&
                  offsetof(KVPinProperties, choices) == 20 && offsetof(KVPinProperties, flags) == 24 &&
                  offsetof(KVPinProperties, spare) == 28,
              "KVPinProperties offsets");
static_assert(sizeof(KVTimedEvent) == 24, "KVTimedEvent");
static_assert(offsetof(KVTimedEvent, kind) == 4 && offsetof(KVTimedEvent, value) == 8 &&
                  offsetof(KVTimedEvent, value2) == 12 && offsetof(KVTimedEvent, extra) == 16 &&
                  offsetof(KVTimedEvent, next) == 20,
              "KVTimedEvent offsets");
static_assert(sizeof(KVCallInfo) == 16, "KVCallInfo");
#elif defined(__cplusplus) && defined(__x86_64__)
#include <cstddef>
static_assert(sizeof(KVHostRecord) == 72 && offsetof(KVHostRecord, dispatch) == 32 &&
                  offsetof(KVHostRecord, reserved) == 56,
              "KVHostRecord 64-bit layout");
static_assert(sizeof(KVGuiHostRecord) == 56 && offsetof(KVGuiHostRecord, object) == 24,
              "KVGuiHostRecord 64-bit layout");
static_assert(sizeof(KVPinProperties) == 56 && offsetof(KVPinProperties, name) == 16 &&
                  offsetof(KVPinProperties, flags) == 40,
              "KVPinProperties 64-bit layout");
static_assert(sizeof(KVTimedEvent) == 32 && offsetof(KVTimedEvent, extra) == 16,
              "KVTimedEvent 64-bit layout");
static_assert(sizeof(KVModuleInfo) == 40 && offsetof(KVModuleInfo, frame_revision) == 32,
              "KVModuleInfo 64-bit layout");
#endif

#endif /* KV_ABI_H */
