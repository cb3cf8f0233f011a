/* tollivar.dll driven the way a host built with Microsoft's compiler drives it: loaded from this
 * program's folder, exports taken by their plain names (__cdecl), every object reached through
 * hand-built slot tables of __thiscall functions in Microsoft's layout (slot 0 is ONE slot, the
 * scalar deleting destructor), host objects built the same way. No header of the project.
 *   record ADDRESS HTTP_PORT RTSP_PORT USER PASSWORD CODEC SECONDS OUTFILE
 *   probe ADDRESS HTTP_PORT USER PASSWORD      io ADDRESS HTTP_PORT USER PASSWORD
 *   ptz ADDRESS HTTP_PORT USER PASSWORD PRESETNAME
 *   cycles ADDRESS HTTP_PORT RTSP_PORT USER PASSWORD N
 * Exit code 0 only when every check passed; each failed check prints a FAIL line. */
#include <windows.h>
#include <tlhelp32.h>

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define TC __attribute__((thiscall))
typedef void (*slot_fn)(void); /* a slot; cast to its real type where it is called */
#define S(f) ((slot_fn)(f))
/* Slot `slot` of a driver object, called as `ret __thiscall (this, args...)`. */
#define CALL(obj, slot, ret, ...) ((ret(TC*)(void*, ##__VA_ARGS__))(*(slot_fn**)(obj))[slot])

static CRITICAL_SECTION g_lock;
static volatile LONG g_failures;
static void fail(const char* what, const char* detail) {
  InterlockedIncrement(&g_failures);
  EnterCriticalSection(&g_lock);
  fprintf(stderr, "FAIL: %s%s%s\n", what, detail ? ": " : "", detail ? detail : "");
  LeaveCriticalSection(&g_lock);
}
static void expect(int ok, const char* what) {
  if (!ok) fail(what, NULL);
}

/* Host objects: the slot table first, then a name and the object's own address. */
typedef struct hobj {
  const slot_fn* vtbl;
  const char* name;
  const struct hobj* me;
} hobj;
static const hobj* g_objects[32];
static int g_object_count;
static void init_obj(hobj* o, const slot_fn* vtbl, const char* name) {
  o->vtbl = vtbl, o->name = name, o->me = o;
  g_objects[g_object_count++] = o;
}
static const char* name_of(const void* self) {
  for (int i = 0; i < g_object_count; ++i)
    if (g_objects[i] == self) return g_objects[i]->name;
  return "no host object";
}
/* `this` must be the object whose table holds the slot: a wrong layout or convention on the
 * driver's side shows up here. */
static void check_this(const void* self, const hobj* expected, const char* slot) {
  char text[160];
  if (self == expected && expected->me == expected) return;
  snprintf(text, sizeof text, "%s called with this = %s", slot, name_of(self));
  fail("wrong this", text);
}
static void* TC host_dtor(hobj* self, unsigned flags) {
  char text[160];
  snprintf(text, sizeof text, "on %s, flags %u", name_of(self), flags);
  fail("the driver called a host object's scalar deleting destructor", text);
  return self;
}
static uint32_t reserved_called(hobj* self, int slot) {
  char text[160];
  snprintf(text, sizeof text, "slot %d of %s", slot, name_of(self));
  fail("the driver called a reserved slot", text);
  return 0;
}
#define RESERVED(n) \
  static uint32_t TC reserved##n(hobj* self) { return reserved_called(self, n); }
RESERVED(1) RESERVED(2) RESERVED(3) RESERVED(4) RESERVED(5) RESERVED(7) RESERVED(8)
RESERVED(9) RESERVED(11) RESERVED(13) RESERVED(15)

/* IHostMessageSink: the driver's log lines go to stderr. */
static hobj g_msg;
static volatile LONG g_online;
static void TC msg_on_debug(hobj* self, void* info) {
  check_this(self, &g_msg, "IHostMessageSink::OnDebugInfo");
  unsigned level = info ? CALL(info, 1, uint8_t)(info) : 0;
  const char* text = info ? CALL(info, 2, const char*)(info) : NULL;
  if (level < 1 || level > 3) fail("CDebugInfoIf level outside 1..3", NULL);
  if (text == NULL) return;
  if (strstr(text, "is online")) InterlockedExchange(&g_online, 1);
  EnterCriticalSection(&g_lock);
  fprintf(stderr, "log %u: ", level);
  fputs(text, stderr);
  fputc('\n', stderr);
  LeaveCriticalSection(&g_lock);
}
static const slot_fn vt_msg[] = {S(host_dtor), S(msg_on_debug)};

/* IDeviceDescription, IDeviceModelInfo, IConnectionSettings */
static hobj g_desc, g_model, g_conn;
static struct {
  char address[64], user[64], password[64], custom[5][64];
  uint32_t port, inputs, outputs;
  int32_t codec;
} g_dev;
#define GETTER(fn, type, obj, value) \
  static type TC fn(hobj* s) { check_this(s, &obj, #fn); return value; }
GETTER(GetModelInfo, void*, g_desc, &g_model)
GETTER(GetConnectionSettings, void*, g_desc, &g_conn)
GETTER(GetModelName, const char*, g_model, "MSVC host camera")
GETTER(GetVideoChannelCount, uint32_t, g_model, 1)
GETTER(GetDigitalInputCount, uint32_t, g_model, g_dev.inputs)
GETTER(GetDigitalOutputCount, uint32_t, g_model, g_dev.outputs)
GETTER(GetAddress, const char*, g_conn, g_dev.address)
GETTER(GetPort, uint32_t, g_conn, g_dev.port)
GETTER(GetCodecType, int32_t, g_conn, g_dev.codec)
GETTER(GetUserName_, const char*, g_conn, g_dev.user)
GETTER(GetPassword, const char*, g_conn, g_dev.password)
static const char* TC GetCustomParameter(hobj* s, uint32_t i) {
  check_this(s, &g_desc, "GetCustomParameter");
  return i >= 1 && i <= 5 ? g_dev.custom[i - 1] : NULL;
}
static const slot_fn vt_desc[] = {S(host_dtor), S(GetModelInfo), S(GetConnectionSettings),
                                  S(reserved3), S(GetCustomParameter)};
static const slot_fn vt_model[] = {S(host_dtor), S(reserved1), S(GetModelName),
                                   S(GetVideoChannelCount), S(reserved4),
                                   S(GetDigitalInputCount), S(GetDigitalOutputCount)};
static const slot_fn vt_conn[] = {S(host_dtor),  S(GetAddress),  S(GetPort),    S(reserved3),
                                  S(GetCodecType), S(GetUserName_), S(GetPassword)};

/* IFrameFactory and IMediaFrame: a fixed pool; each frame is given out and taken back once. */
#define POOL 8
typedef struct frame {
  hobj h;
  uint8_t* data;
  uint32_t capacity, size, fourcc, width, height;
  volatile LONG in_use;
  ULONGLONG time;
} frame;
static frame g_pool[POOL];
static hobj g_factory;
static volatile LONG g_outstanding;
static frame* as_frame(hobj* self, const char* slot) {
  for (int i = 0; i < POOL; ++i)
    if (self == &g_pool[i].h) {
      if (!g_pool[i].in_use) fail("a frame used after ReleaseFrame", slot);
      return &g_pool[i];
    }
  check_this(self, &g_pool[0].h, slot);
  return NULL;
}
static uint8_t* TC frame_data(hobj* s) {
  frame* f = as_frame(s, "GetData");
  return f ? f->data : NULL;
}
static void TC frame_size(hobj* s, uint32_t v) {
  frame* f = as_frame(s, "SetDataSize");
  if (f && v > f->capacity) fail("SetDataSize above the capacity asked for", NULL);
  if (f) f->size = v;
}
static void TC frame_time(hobj* s, const SYSTEMTIME* t) {
  frame* f = as_frame(s, "SetTime");
  FILETIME ft;
  if (f && t && SystemTimeToFileTime(t, &ft))
    f->time = ((ULONGLONG)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
  else
    fail("SetTime with no valid SYSTEMTIME", NULL);
}
#define FRAME_SETTER(fn, field)                       \
  static void TC fn(hobj* s, uint32_t v) {            \
    frame* f = as_frame(s, #fn);                      \
    if (f) f->field = v;                              \
  }
FRAME_SETTER(SetFourCC, fourcc)
FRAME_SETTER(SetHeight, height)
FRAME_SETTER(SetWidth, width)
static void TC frame_size_class(hobj* s, uint32_t v) { (void)v; as_frame(s, "SetSizeClass"); }
static const slot_fn vt_frame[] = {
    S(host_dtor),    S(reserved1),  S(frame_data),   S(reserved3),  S(frame_size), S(reserved5),
    S(frame_time),   S(reserved7),  S(reserved8),    S(reserved9),  S(SetFourCC),
    S(reserved11),   S(SetHeight), S(reserved13), S(SetWidth), S(reserved15),
    S(frame_size_class)};
static void* TC CreateFrame(hobj* s, uint32_t fourcc, uint32_t capacity, const char* driver) {
  (void)fourcc, (void)driver;
  check_this(s, &g_factory, "CreateFrame");
  if (capacity == 0 || capacity > (32u << 20)) {
    fail("CreateFrame with an implausible capacity", NULL);
    return NULL;
  }
  for (int i = 0; i < POOL; ++i) {
    frame* f = &g_pool[i];
    if (InterlockedCompareExchange(&f->in_use, 1, 0) != 0) continue;
    if (f->capacity < capacity) {
      free(f->data);
      f->capacity = (f->data = malloc(capacity)) ? capacity : 0;
    }
    f->size = f->fourcc = f->width = f->height = 0;
    if (!f->data) return (void*)(f->in_use = 0);
    InterlockedIncrement(&g_outstanding);
    return f;
  }
  fail("more frames outstanding than the pool holds", NULL);
  return NULL;
}
static void TC ReleaseFrame(hobj* s, hobj* fr) {
  check_this(s, &g_factory, "ReleaseFrame");
  frame* f = as_frame(fr, "ReleaseFrame");
  if (f && InterlockedExchange(&f->in_use, 0)) InterlockedDecrement(&g_outstanding);
}
static const slot_fn vt_factory[] = {S(host_dtor), S(reserved1), S(CreateFrame), S(reserved3),
                                     S(reserved4), S(reserved5), S(ReleaseFrame)};

/* IFrameSink: writes each frame's bytes and keeps the summary. */
static hobj g_sink;
static struct {
  HANDLE first; /* set by every frame */
  FILE* out;
  unsigned long frames, keys, nonincreasing, lost; /* from here on cleared per recording */
  uint32_t width, height, fourccs[4];
  ULONGLONG last_time;
  volatile LONG stopped;
} g_rec;
static _Bool TC PutFrame(hobj* s, hobj* fr) {
  check_this(s, &g_sink, "PutFrame");
  frame* f = as_frame(fr, "PutFrame");
  if (g_rec.stopped) fail("PutFrame after StopChannel returned", NULL);
  if (!f) return 0;
  if (f->size == 0) fail("a frame without data", NULL);
  if (g_rec.out && fwrite(f->data, 1, f->size, g_rec.out) != f->size) fail("writing", NULL);
  g_rec.nonincreasing += g_rec.frames++ > 0 && f->time <= g_rec.last_time;
  g_rec.last_time = f->time;
  g_rec.keys += f->fourcc == 0x34363248u /* H264 */ || f->fourcc == 0x4745504Au /* JPEG */ ||
                f->fourcc == 0x58564944u /* DIVX */;
  g_rec.width = f->width, g_rec.height = f->height;
  for (int i = 0; i < 4 && g_rec.fourccs[i] != f->fourcc; ++i)
    if (g_rec.fourccs[i] == 0) {
      g_rec.fourccs[i] = f->fourcc;
      break;
    }
  SetEvent(g_rec.first);
  return 1;
}
static void TC OnSignalLost(hobj* s) { check_this(s, &g_sink, "OnSignalLost"); ++g_rec.lost; }
static const slot_fn vt_sink[] = {S(host_dtor), S(PutFrame), S(reserved2), S(OnSignalLost)};

/* IChannelSettings, IVideoFormat, IResolution, IStreamSettings: 640x480 every 40 ms. */
static hobj g_chan, g_format, g_res, g_stream;
GETTER(GetVideoFormat, void*, g_chan, &g_format)
GETTER(GetStreamSettings, void*, g_chan, &g_stream)
GETTER(GetResolution, void*, g_format, &g_res)
GETTER(GetWidth, uint16_t, g_res, 640)
GETTER(GetHeight, uint16_t, g_res, 480)
GETTER(GetFrameInterval, uint16_t, g_stream, 40)
GETTER(GetQuality, uint16_t, g_stream, 50)
GETTER(GetCompanionWanted, uint32_t, g_stream, 0)
static const slot_fn vt_chan[] = {S(host_dtor), S(GetVideoFormat), S(GetStreamSettings)};
static const slot_fn vt_format[] = {S(host_dtor), S(reserved1), S(reserved2), S(GetResolution)};
static const slot_fn vt_res[] = {S(host_dtor), S(GetWidth), S(GetHeight)};
static const slot_fn vt_stream[] = {S(host_dtor), S(GetFrameInterval), S(reserved2),
                                    S(GetQuality), S(GetCompanionWanted)};

/* ICaptureIOEvents */
static hobj g_io_events;
static volatile LONG g_inputs_reported, g_io_errors;
static void TC OnInputStateChanged(hobj* s, uint32_t index, int32_t state) {
  check_this(s, &g_io_events, "OnInputStateChanged");
  if (index >= 2 || state < 0 || state > 1) fail("OnInputStateChanged out of range", NULL);
  InterlockedIncrement(&g_inputs_reported);
}
static void TC OnIOError(hobj* s) {
  check_this(s, &g_io_events, "OnIOError");
  InterlockedIncrement(&g_io_errors);
}
static const slot_fn vt_io_events[] = {S(host_dtor), S(OnInputStateChanged), S(OnIOError)};

/* ICapabilityQueryEvents, ICapabilityResults and the objects its getters return (one text
 * field and one property item serve every number: the driver fills each right away). */
static hobj g_qevents, g_results, g_field, g_item, g_reslist, g_rates;
static struct {
  HANDLE done;
  volatile LONG completed, failed;
  char model[128], resolutions[512];
} g_q;
static void TC OnQueryCompleted(hobj* s) {
  check_this(s, &g_qevents, "OnQueryCompleted");
  if (InterlockedIncrement(&g_q.completed) + g_q.failed > 1) fail("a second query outcome", NULL);
  SetEvent(g_q.done);
}
static void TC OnQueryFailed(hobj* s, int32_t code, const char* message) {
  (void)message;
  check_this(s, &g_qevents, "OnQueryFailed");
  printf("query failed with code %d\n", (int)code);
  InterlockedIncrement(&g_q.failed);
  SetEvent(g_q.done);
}
static void TC SetCapability(hobj* s, uint32_t id, uint32_t value) {
  (void)id, (void)value;
  check_this(s, &g_results, "SetCapability");
}
static void TC SetModelName(hobj* s, const char* name) {
  check_this(s, &g_results, "SetModelName");
  snprintf(g_q.model, sizeof g_q.model, "%s", name ? name : "");
}
static void* TC GetConnectionField(hobj* s, uint32_t field) {
  check_this(s, &g_results, "GetConnectionField");
  if (field < 1 || field > 4) fail("GetConnectionField outside 1..4", NULL);
  return &g_field;
}
static void* TC GetPropertyItem(hobj* s, uint32_t id) {
  (void)id;
  check_this(s, &g_results, "GetPropertyItem");
  return &g_item;
}
GETTER(GetResolutionList, void*, g_results, &g_reslist)
static void* TC GetFrameRateList(hobj* s, uint32_t list) {
  check_this(s, &g_results, "GetFrameRateList");
  if (list != 1) fail("GetFrameRateList for a list other than 1", NULL);
  return &g_rates;
}
static void TC field_text(hobj* s, const char* t) { (void)t; check_this(s, &g_field, "SetText"); }
static void TC item_text(hobj* s, const char* t) { (void)t; check_this(s, &g_item, "SetValue"); }
static void TC item_int(hobj* s, int32_t v) { (void)v; check_this(s, &g_item, "SetFlag"); }
static void TC AddResolution(hobj* s, const char* text, uint32_t w, uint32_t h, uint32_t ms) {
  char size[32];
  (void)ms;
  check_this(s, &g_reslist, "AddResolution");
  snprintf(size, sizeof size, "%ux%u", (unsigned)w, (unsigned)h);
  if (!text || strcmp(text, size) != 0) fail("AddResolution's text differs from its size", size);
  strncat(g_q.resolutions, " ", sizeof g_q.resolutions - strlen(g_q.resolutions) - 1);
  strncat(g_q.resolutions, size, sizeof g_q.resolutions - strlen(g_q.resolutions) - 1);
}
static void TC rate(hobj* s, uint32_t ms) { (void)ms; check_this(s, &g_rates, "a rate list slot"); }
static const slot_fn vt_qevents[] = {S(host_dtor), S(reserved1), S(OnQueryCompleted),
                                     S(OnQueryFailed)};
static const slot_fn vt_results[] = {
    S(host_dtor), S(SetCapability), S(SetModelName), S(GetConnectionField), S(reserved4),
    S(GetPropertyItem), S(GetResolutionList), S(reserved7), S(GetFrameRateList)};
static const slot_fn vt_field[] = {S(host_dtor), S(field_text)};
static const slot_fn vt_item[] = {S(host_dtor), S(item_text), S(reserved2), S(reserved3),
                                  S(item_int),  S(item_text), S(item_int)};
static const slot_fn vt_reslist[] = {S(host_dtor), S(AddResolution)};
static const slot_fn vt_rates[] = {S(host_dtor), S(rate), S(rate)};

static void init_objects(void) {
  static const struct { hobj* o; const slot_fn* vtbl; const char* name; } all[] = {
      {&g_msg, vt_msg, "IHostMessageSink"},        {&g_desc, vt_desc, "IDeviceDescription"},
      {&g_model, vt_model, "IDeviceModelInfo"},    {&g_conn, vt_conn, "IConnectionSettings"},
      {&g_factory, vt_factory, "IFrameFactory"},   {&g_sink, vt_sink, "IFrameSink"},
      {&g_chan, vt_chan, "IChannelSettings"},      {&g_format, vt_format, "IVideoFormat"},
      {&g_res, vt_res, "IResolution"},             {&g_stream, vt_stream, "IStreamSettings"},
      {&g_io_events, vt_io_events, "ICaptureIOEvents"},
      {&g_qevents, vt_qevents, "ICapabilityQueryEvents"},
      {&g_results, vt_results, "ICapabilityResults"},
      {&g_field, vt_field, "ICapabilityTextField"}, {&g_item, vt_item, "ICapabilityPropertyItem"},
      {&g_reslist, vt_reslist, "ICapabilityResolutionList"},
      {&g_rates, vt_rates, "ICapabilityFrameRateList"}};
  for (size_t i = 0; i < sizeof all / sizeof all[0]; ++i)
    init_obj(all[i].o, all[i].vtbl, all[i].name);
  for (int i = 0; i < POOL; ++i) init_obj(&g_pool[i].h, vt_frame, "IMediaFrame");
}

/* ---- the driver's side ---- */
typedef void*(__cdecl* create_fn)(void);
typedef void(__cdecl* delete_fn)(void*);
static HMODULE g_dll;
static create_fn g_create;
static delete_fn g_delete;

static slot_fn need_export(const char* name) {
  slot_fn f = (slot_fn)GetProcAddress(g_dll, name);
  if (!f) fail("export missing", name);
  return f;
}
static int load_dll(void) {
  wchar_t path[MAX_PATH + 16];
  DWORD n = GetModuleFileNameW(NULL, path, MAX_PATH);
  wchar_t* slash = n > 0 && n < MAX_PATH ? wcsrchr(path, L'\\') : NULL;
  if (slash) wcscpy(slash + 1, L"tollivar.dll");
  if (!slash || !(g_dll = LoadLibraryW(path))) {
    fail("LoadLibraryW of tollivar.dll beside the program", NULL);
    return 0;
  }
  g_create = (create_fn)need_export("CreateIPCaptureEx3");
  g_delete = (delete_fn)need_export("DeleteIPCaptureEx3");
  return g_create && g_delete;
}
static void set_device(char** a, const char* rtsp_port, const char* presets) {
  const char* custom[5] = {"(none)", "(none)", rtsp_port ? rtsp_port : "(none)", "(none)",
                           presets ? presets : "(none)"};
  snprintf(g_dev.address, sizeof g_dev.address, "%s", a[0]);
  g_dev.port = (uint32_t)strtoul(a[1], NULL, 10);
  snprintf(g_dev.user, sizeof g_dev.user, "%s", a[rtsp_port ? 3 : 2]);
  snprintf(g_dev.password, sizeof g_dev.password, "%s", a[rtsp_port ? 4 : 3]);
  for (int i = 0; i < 5; ++i) snprintf(g_dev.custom[i], sizeof g_dev.custom[i], "%s", custom[i]);
  g_dev.codec = 3;
}
/* A new driver, opened with the host objects (slot 1); null after a FAIL line. */
static void* open_driver(void) {
  void* drv = g_create();
  if (!drv) fail("CreateIPCaptureEx3 returned null", NULL);
  else if (!CALL(drv, 1, _Bool, void*, void*, void*)(drv, &g_msg, &g_factory, &g_desc))
    fail("OpenDriver (slot 1)", NULL);
  return drv;
}
static void reset_recording(FILE* out) {
  memset(&g_rec.frames, 0, sizeof g_rec - offsetof(__typeof__(g_rec), frames));
  g_rec.out = out;
  ResetEvent(g_rec.first);
  g_online = 0;
}
#define START(cap) CALL(cap, 2, _Bool, uint32_t, void*, void*)(cap, 0, &g_sink, &g_chan)
#define STOP(cap) CALL(cap, 3, _Bool, uint32_t)(cap, 0)

static int cmd_record(char** a) {
  int32_t state = -1;
  uint32_t code = 7;
  char text[8] = "x";
  FILE* out = fopen(a[7], "wb");
  set_device(a, a[2], NULL);
  g_dev.codec = (int32_t)strtol(a[5], NULL, 10);
  reset_recording(out);
  void* drv = out && load_dll() ? open_driver() : NULL;
  if (!drv) return 1;
  static const int reserved[] = {5, 7, 10, 11};
  for (int i = 0; i < 4; ++i)
    expect(CALL(drv, reserved[i], void*)(drv) == NULL, "a reserved driver slot is not null");
  void* cap = CALL(drv, 3, void*)(drv);
  if (!cap) { fail("GetVideoCapture (slot 3) returned null", NULL); return 1; }
  expect(CALL(cap, 1, uint32_t)(cap) == 1, "GetChannelCount (slot 1) is not 1");
  expect(START(cap), "StartChannel (slot 2)");
  WaitForSingleObject(g_rec.first, 15000);
  Sleep(strtoul(a[6], NULL, 10) * 1000);
  expect(CALL(cap, 6, _Bool, uint32_t, int32_t*, uint32_t*, char*, uint32_t)(
             cap, 0, &state, &code, text, sizeof text) && state == 0 && code == 0 && !text[0],
         "GetChannelState (slot 6) while receiving");
  expect(STOP(cap), "StopChannel (slot 3)");
  InterlockedExchange(&g_rec.stopped, 1);
  state = 0; /* a stopped channel is unknown (false) or stopped (2), never receiving */
  expect(!CALL(cap, 6, _Bool, uint32_t, int32_t*, uint32_t*, char*, uint32_t)(
             cap, 0, &state, &code, NULL, 0) || state == 2,
         "GetChannelState (slot 6) after the stop");
  g_delete(drv);
  expect(g_outstanding == 0, "frames not given back with ReleaseFrame");
  fclose(out);
  FreeLibrary(g_dll);
  printf("summary frames=%lu key=%lu size=%ux%u fourcc=", g_rec.frames, g_rec.keys,
         (unsigned)g_rec.width, (unsigned)g_rec.height);
  for (int i = 0; i < 4 && g_rec.fourccs[i]; ++i)
    printf("%s%.4s", i ? "," : "", (char*)&g_rec.fourccs[i]);
  printf(" nonincreasing=%lu lost=%lu online=%s\n", g_rec.nonincreasing, g_rec.lost,
         g_online ? "yes" : "no");
  expect(g_rec.frames > 0 && g_rec.keys > 0, "no frames or no key frame");
  expect(g_rec.width == 640 && g_rec.height == 480, "frame size is not 640x480");
  expect(g_rec.nonincreasing == 0, "frame times do not increase");
  expect(g_online, "no \"is online\" log line");
  return 0;
}

static int cmd_probe(char** a) {
  if (!load_dll()) return 1;
  int32_t(__cdecl * init)(void*, int32_t) = (void*)need_export("InitCapabilityQuery");
  int32_t(__cdecl * start)(const char*, int32_t, const char*, const char*, void*) =
      (void*)need_export("StartCapabilityQuery");
  int32_t(__cdecl * terminate)(void) = (void*)need_export("TerminateCapabilityQuery");
  int32_t(__cdecl * uninit)(void) = (void*)need_export("UninitCapabilityQuery");
  if (!init || !start || !terminate || !uninit) return 1;
  expect(init(&g_qevents, 0) == 1, "InitCapabilityQuery");
  expect(init(&g_qevents, 0) == 0, "a second InitCapabilityQuery before Uninit is not refused");
  expect(start(a[0], atoi(a[1]), a[2], a[3], &g_results) == 1, "StartCapabilityQuery");
  if (WaitForSingleObject(g_q.done, 30000) != WAIT_OBJECT_0) {
    fail("no query outcome within 30 s", NULL);
    terminate();
  }
  DWORD t0 = GetTickCount();
  expect(uninit() == 1, "UninitCapabilityQuery");
  expect(GetTickCount() - t0 < 10000, "UninitCapabilityQuery took 10 s or more");
  printf("model=%s\nresolutions=%s\n", g_q.model, g_q.resolutions);
  expect(g_q.completed == 1 && g_q.failed == 0, "the query did not complete");
  expect(g_q.model[0] && g_q.resolutions[0], "no model name or no resolution");
  FreeLibrary(g_dll);
  return 0;
}

static int cmd_io(char** a) {
  set_device(a, NULL, NULL);
  g_dev.inputs = 2, g_dev.outputs = 1;
  void* drv = load_dll() ? open_driver() : NULL;
  void* io = drv ? CALL(drv, 4, void*)(drv) : NULL;
  if (!io) { fail("GetIOApi (slot 4) returned null", NULL); return 1; }
  expect(CALL(io, 4, uint32_t)(io) == 2 && CALL(io, 5, uint32_t)(io) == 1,
         "I/O counts (slots 4, 5)");
  expect(!CALL(io, 1, _Bool, void*)(io, NULL), "SetEventSink(null) (slot 1) is not refused");
  expect(CALL(io, 1, _Bool, void*)(io, &g_io_events), "SetEventSink (slot 1)");
  expect(CALL(io, 2, _Bool)(io), "StartIO (slot 2)");
  /* The start switches output 0 on; off and on again then reach the camera in order. */
  expect(CALL(io, 6, _Bool, uint32_t, int32_t)(io, 0, 0), "QueueOutputState(0, 0) (slot 6)");
  expect(CALL(io, 6, _Bool, uint32_t, int32_t)(io, 0, 1), "QueueOutputState(0, 1) (slot 6)");
  Sleep(2000);
  DWORD t0 = GetTickCount();
  expect(CALL(io, 3, _Bool)(io), "StopIO (slot 3)");
  expect(GetTickCount() - t0 < 5000, "StopIO took 5 s or more");
  expect(!CALL(io, 6, _Bool, uint32_t, int32_t)(io, 0, 0), "QueueOutputState after StopIO");
  g_delete(drv);
  printf("inputs reported=%ld io errors=%ld\n", g_inputs_reported, g_io_errors);
  expect(g_inputs_reported > 0 && g_io_errors == 0, "no input report, or an I/O error");
  FreeLibrary(g_dll);
  return 0;
}

static void ptz_result(const char* call, int32_t got, int32_t want) {
  printf("%s=%d\n", call, (int)got);
  if (got != want) fail("unexpected PTZ result", call);
}
static int cmd_ptz(char** a) {
  uint32_t caps[14];
  char name[16] = "";
  set_device(a, NULL, a[4]);
  void* drv = load_dll() ? open_driver() : NULL;
  void* ptz = drv ? CALL(drv, 9, void*)(drv) : NULL;
  void* api = ptz ? CALL(ptz, 2, void*, uint32_t)(ptz, 0) : NULL;
  if (!api) {
    fail("GetPTZDriverEx (slot 9) or its GetPTZApiEx(0) (slot 2) is null", NULL);
    return 1;
  }
  expect(CALL(drv, 6, void*)(drv) == ptz, "GetPTZDriver (slot 6) differs from slot 9");
  expect(CALL(ptz, 1, void*, uint32_t)(ptz, 0) == api, "GetPTZApi(0) (slot 1) differs from slot 2");
  memset(caps, 0xA5, sizeof caps);
  ptz_result("GetPTZCapabilities", CALL(api, 13, int32_t, uint32_t*)(api, caps), 1);
  expect(caps[0] == 0xA5A5A5A5u && caps[7] > 0,
         "PTZ_CAPABILITIES: the host's field written, or no presets");
  ptz_result("SavePreposition(A)", CALL(api, 17, int32_t, const char*)(api, "A"), 1);
  /* A move between the save and the recall gives the recall somewhere to go. */
  ptz_result("Move(2,16)", CALL(api, 2, int32_t, int32_t, int32_t)(api, 2, 16), 1);
  Sleep(300);
  ptz_result("Stop", CALL(api, 3, int32_t)(api), 1);
  Sleep(300);
  ptz_result("RecallPreposition(0,A)",
             CALL(api, 16, int32_t, int32_t, const char*)(api, 0, "A"), 1);
  ptz_result("GetPrepositionCount", CALL(api, 14, int32_t)(api), 1);
  ptz_result("GetPrepositionName(0)",
             CALL(api, 15, int32_t, uint32_t, char*, uint32_t)(api, 0, name, sizeof name), 1);
  expect(strcmp(name, "A") == 0, "GetPrepositionName (slot 15) is not A");
  ptz_result("GetPrepositionName(0) into 1 byte",
             CALL(api, 15, int32_t, uint32_t, char*, uint32_t)(api, 0, name, 1), -3);
  ptz_result("DeletePreposition(A)", CALL(api, 18, int32_t, const char*)(api, "A"), 1);
  ptz_result("GetPrepositionCount", CALL(api, 14, int32_t)(api), 0);
  g_delete(drv);
  FreeLibrary(g_dll);
  return 0;
}

/* Threads of this process; `pool` counts those that start in ntdll.dll: the system's thread
 * pool (WinHTTP's asynchronous mode runs on it), which keeps idle workers for a while. */
static long thread_count(long* pool) {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll"), module;
  LONG(WINAPI * query)(HANDLE, int, void*, ULONG, ULONG*) =
      (void*)GetProcAddress(ntdll, "NtQueryInformationThread");
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 te = {.dwSize = sizeof te};
  long n = 0;
  *pool = 0;
  for (BOOL more = Thread32First(snap, &te); more; more = Thread32Next(snap, &te)) {
    if (te.th32OwnerProcessID != GetCurrentProcessId()) continue;
    HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, te.th32ThreadID);
    void* start = NULL;
    ++n;
    if (thread && query && query(thread, 9 /* Win32 start address */, &start, sizeof start,
                                 NULL) == 0 &&
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           (LPCWSTR)start, &module) && module == ntdll)
      ++*pool;
    if (thread) CloseHandle(thread);
  }
  CloseHandle(snap);
  return n;
}

static int cmd_cycles(char** a) {
  static const struct { const char* name; DWORD bound_ms; } steps[] = {
      {"LoadLibraryW", 5000}, {"create and OpenDriver", 2000}, {"StartChannel", 2000},
      {"the first frame", 15000}, {"StopChannel", 5000}, {"CloseDriver", 5000},
      {"DeleteIPCaptureEx3", 5000}, {"FreeLibrary", 5000}};
  int n = atoi(a[5]);
  long pool_before, pool, before = thread_count(&pool_before);
  DWORD worst = 0, total = GetTickCount();
  set_device(a, a[2], NULL);
  for (int i = 0; i < n && g_failures == 0; ++i) {
    void *drv = NULL, *cap = NULL;
    reset_recording(NULL);
    for (int s = 0; s < 8 && g_failures == 0; ++s) {
      DWORD t0 = GetTickCount();
      switch (s) {
        case 0: load_dll(); break;
        case 1: drv = open_driver(); break;
        case 2: expect((cap = CALL(drv, 3, void*)(drv)) && START(cap), "StartChannel"); break;
        case 3: expect(WaitForSingleObject(g_rec.first, 15000) == WAIT_OBJECT_0, "no frame"); break;
        case 4: expect(STOP(cap), "StopChannel"), InterlockedExchange(&g_rec.stopped, 1); break;
        case 5: CALL(drv, 2, void)(drv); break;
        case 6: g_delete(drv); break;
        case 7: expect(FreeLibrary(g_dll), "FreeLibrary"); break;
      }
      DWORD took = GetTickCount() - t0;
      if (took > steps[s].bound_ms) fail("a cycle step took too long", steps[s].name);
      if (took > worst) worst = took;
      if (g_failures) fprintf(stderr, "cycle %d, step %s failed\n", i + 1, steps[s].name);
    }
    expect(g_outstanding == 0, "frames not given back with ReleaseFrame");
  }
  long after = thread_count(&pool);
  for (int i = 0; i < 20 && after - pool > before - pool_before; ++i) {
    Sleep(100);
    after = thread_count(&pool);
  }
  printf("cycles=%d threads before=%ld after=%ld (thread pool %ld, %ld) slowest step=%lu ms "
         "total=%lu ms\n", n, before, after, pool_before, pool, worst, GetTickCount() - total);
  expect(after - pool <= before - pool_before, "threads left after the cycles");
  expect(pool <= 8, "thread pool workers pile up (a callback that never returns?)");
  return 0;
}

int main(int argc, char** argv) {
  static const struct { const char* name; int args; int (*run)(char**); } commands[] = {
      {"record", 8, cmd_record}, {"probe", 4, cmd_probe}, {"io", 4, cmd_io},
      {"ptz", 5, cmd_ptz},       {"cycles", 6, cmd_cycles}};
  InitializeCriticalSection(&g_lock);
  setvbuf(stdout, NULL, _IONBF, 0);
  g_rec.first = CreateEventW(NULL, TRUE, FALSE, NULL);
  g_q.done = CreateEventW(NULL, TRUE, FALSE, NULL);
  init_objects();
  for (size_t i = 0; argc >= 2 && i < sizeof commands / sizeof commands[0]; ++i) {
    if (strcmp(argv[1], commands[i].name) != 0 || argc != commands[i].args + 2) continue;
    int failed = commands[i].run(argv + 2) || g_failures;
    printf("%s: %s (%ld failed check(s))\n", argv[1], failed ? "FAILED" : "passed", g_failures);
    return failed;
  }
  fputs("usage: msvc_host record|probe|io|ptz|cycles ... (see msvc_host.c)\n", stderr);
  return 2;
}
