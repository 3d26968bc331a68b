/* Preloaded allocator interposer for the allocation-failure torture: while
 * armed, the N-th call of malloc, calloc, realloc, strdup, aligned allocation
 * (and so operator new, which uses malloc) fails, and every block taken while
 * armed is tracked until it is freed, so the runner can tell what a scenario
 * left behind and which allocation took it. Only the thread that armed it is
 * counted and tracked, so servers and other helpers on other threads of the
 * runner are left alone; a tracked block may be freed on any thread (a
 * library's helper thread may finish with it after the call has returned),
 * also after disarming, until the next arming. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);
extern void __libc_free(void*);

#define EXPORT __attribute__((visibility("default")))
#define SLOTS (1u << 16) /* open addressing, power of two; cleared at every arming */
#define EMPTY 0u
#define DELETED 1u

/* Initial-exec TLS: reading it never allocates. */
static __thread int t_armed __attribute__((tls_model("initial-exec")));
static unsigned long g_count;        /* allocation calls while armed */
static unsigned long g_fail_at;      /* 0: never fail */
static unsigned long g_live;         /* tracked blocks not yet freed (under g_lock) */
static int g_overflow;               /* the table filled up: tracking unreliable */
static char g_lock;                  /* guards the table against frees on other threads */
static uintptr_t g_table[SLOTS];     /* block addresses, or EMPTY / DELETED */
static unsigned long g_index[SLOTS]; /* the allocation call that took each block */
static void* g_caller[SLOTS];        /* and where it was called from */
static void* g_failed_caller;        /* where the failed allocation was called from */
#define EXEMPTIONS 8
static struct {
  char library[64];  /* part of the library's path */
  char function[64]; /* empty: strdup and strndup called from anywhere in it */
} g_exempt[EXEMPTIONS];
static int g_exempt_count;

static void lock(void) {
  while (__atomic_test_and_set(&g_lock, __ATOMIC_ACQUIRE)) {
  }
}
static void unlock(void) {
  __atomic_clear(&g_lock, __ATOMIC_RELEASE);
}

static size_t slot_of(uintptr_t p) {
  return (size_t)((p >> 4) * 0x9E3779B97F4A7C15ull) & (SLOTS - 1);
}

#define CALLER __builtin_return_address(0)

/* Whether the dynamic loader took the block. It does so on the calling thread
 * for a new thread's thread-local storage, which the C library keeps with the
 * thread's stack in its cache after the thread has ended: never the call's to
 * free, so never a block the call left behind. */
static int from_loader(const void* caller) {
  Dl_info info;
  return dladdr(caller, &info) != 0 && info.dli_fname != NULL &&
         strstr(info.dli_fname, "/ld-linux") != NULL;
}

static void track(void* block, void* caller) {
  if (block == NULL || from_loader(caller)) return;
  const uintptr_t p = (uintptr_t)block;
  lock();
  for (size_t i = slot_of(p), n = 0; n < SLOTS; i = (i + 1) & (SLOTS - 1), ++n) {
    if (g_table[i] == EMPTY || g_table[i] == DELETED) {
      g_table[i] = p;
      g_index[i] = g_count;
      g_caller[i] = caller;
      __atomic_add_fetch(&g_live, 1, __ATOMIC_RELAXED);
      unlock();
      return;
    }
  }
  g_overflow = 1;
  unlock();
}

/* Called for every block freed or moved, on any thread. */
static void untrack(void* block) {
  if (block == NULL || __atomic_load_n(&g_live, __ATOMIC_RELAXED) == 0) return;
  const uintptr_t p = (uintptr_t)block;
  lock();
  for (size_t i = slot_of(p), n = 0; n < SLOTS && g_table[i] != EMPTY;
       i = (i + 1) & (SLOTS - 1), ++n) {
    if (g_table[i] == p) {
      g_table[i] = DELETED;
      __atomic_sub_fetch(&g_live, 1, __ATOMIC_RELAXED);
      break;
    }
  }
  unlock();
}

/* Whether this allocation call is the one to fail. */
static int exempt(const void* address, int copy);

static int should_fail(void* caller) {
  if (!t_armed || exempt(caller, 0)) return 0;
  ++g_count;
  if (g_fail_at == 0 || g_count != g_fail_at) return 0;
  g_failed_caller = caller;
  return 1;
}

static void* allocate(size_t size, void* caller) {
  if (should_fail(caller)) {
    errno = ENOMEM;
    return NULL;
  }
  void* block = __libc_malloc(size);
  if (t_armed) track(block, caller);
  return block;
}

EXPORT void* malloc(size_t size) {
  return allocate(size, CALLER);
}

EXPORT void* calloc(size_t count, size_t size) {
  if (should_fail(CALLER)) {
    errno = ENOMEM;
    return NULL;
  }
  void* block = __libc_calloc(count, size);
  if (t_armed) track(block, CALLER);
  return block;
}

EXPORT void* realloc(void* old, size_t size) {
  if (old == NULL) return allocate(size, CALLER);
  if (size == 0) { /* frees the block: nothing to fail */
    untrack(old);
    return __libc_realloc(old, 0);
  }
  if (should_fail(CALLER)) {
    errno = ENOMEM;
    return NULL;
  }
  void* block = __libc_realloc(old, size);
  if (block != NULL) {
    untrack(old);
    if (t_armed) track(block, CALLER);
  }
  return block;
}

EXPORT void* reallocarray(void* old, size_t count, size_t size) {
  if (size != 0 && count > (size_t)-1 / size) {
    errno = ENOMEM;
    return NULL;
  }
  return realloc(old, count * size); /* reported as called from here */
}

EXPORT int posix_memalign(void** out, size_t alignment, size_t size) {
  if (should_fail(CALLER)) return ENOMEM;
  void* block = __libc_memalign(alignment, size);
  if (block == NULL) return ENOMEM;
  if (t_armed) track(block, CALLER);
  *out = block;
  return 0;
}

EXPORT void* aligned_alloc(size_t alignment, size_t size) {
  if (should_fail(CALLER)) {
    errno = ENOMEM;
    return NULL;
  }
  void* block = __libc_memalign(alignment, size);
  if (t_armed) track(block, CALLER);
  return block;
}

EXPORT void* memalign(size_t alignment, size_t size) {
  return aligned_alloc(alignment, size);
}

EXPORT void* valloc(size_t size) {
  return aligned_alloc(4096, size);
}

/* Whether an allocation called from `address` is exempt from failing. */
static int exempt(const void* address, int copy) {
  if (g_exempt_count == 0) return 0;
  Dl_info info;
  if (dladdr(address, &info) == 0 || info.dli_fname == NULL) return 0;
  for (int i = 0; i < g_exempt_count; ++i) {
    if (strstr(info.dli_fname, g_exempt[i].library) == NULL) continue;
    if (g_exempt[i].function[0] == '\0') {
      if (copy) return 1;
    } else if (info.dli_sname != NULL && strcmp(info.dli_sname, g_exempt[i].function) == 0) {
      return 1;
    }
  }
  return 0;
}

static char* copy_text(const char* text, size_t length, void* caller) {
  char* block = NULL;
  if (t_armed && exempt(caller, 1)) {
    block = __libc_malloc(length + 1); /* neither counted nor failed; still tracked */
    track(block, caller);
  } else if (should_fail(caller)) {
    errno = ENOMEM;
  } else {
    block = __libc_malloc(length + 1);
    if (t_armed) track(block, caller);
  }
  if (block == NULL) return NULL;
  memcpy(block, text, length);
  block[length] = '\0';
  return block;
}

EXPORT char* strdup(const char* text) {
  return copy_text(text, strlen(text), __builtin_return_address(0));
}

EXPORT char* strndup(const char* text, size_t most) {
  return copy_text(text, strnlen(text, most), __builtin_return_address(0));
}

EXPORT void free(void* block) {
  untrack(block);
  __libc_free(block);
}

/* ---- control, found by the runner with dlsym ---- */

/* Starts counting; the `fail_at`-th allocation from now fails (0: none). */
EXPORT void kiv_torture_arm(unsigned long fail_at) {
  lock();
  memset(g_table, 0, sizeof g_table);
  __atomic_store_n(&g_live, 0, __ATOMIC_RELAXED);
  g_overflow = 0;
  unlock();
  g_count = 0;
  g_fail_at = fail_at;
  g_failed_caller = NULL;
  t_armed = 1;
}

/* Stops counting and returns the number of allocation calls seen. Blocks
 * still tracked are untracked when freed, on any thread, until the next arming. */
EXPORT unsigned long kiv_torture_disarm(void) {
  t_armed = 0;
  return g_count;
}

/* Blocks taken while armed and still not freed; -1 if tracking overflowed. */
EXPORT long kiv_torture_live_blocks(void) {
  lock();
  const long live = g_overflow ? -1 : (long)g_live;
  unlock();
  return live;
}

/* Writes the allocation numbers and callers of up to `most` live blocks;
 * returns how many. */
EXPORT unsigned long kiv_torture_live_info(unsigned long* index, void** caller,
                                           unsigned long most) {
  unsigned long n = 0;
  lock();
  for (size_t i = 0; i < SLOTS && n < most; ++i) {
    if (g_table[i] != EMPTY && g_table[i] != DELETED) {
      index[n] = g_index[i];
      caller[n++] = g_caller[i];
    }
  }
  unlock();
  return n;
}

/* Where the failed allocation of the last armed run was called from, or null. */
EXPORT void* kiv_torture_failed_caller(void) {
  return g_failed_caller;
}

/* Allocations called directly from `function` of a library whose path holds
 * `library` (a null function: strdup and strndup called from anywhere in it)
 * never fail and are not counted; their blocks are still tracked. For a
 * library that does not survive its own failed allocations there. */
EXPORT void kiv_torture_exempt(const char* library, const char* function) {
  if (library == NULL || g_exempt_count == EXEMPTIONS) return;
  size_t length = strnlen(library, sizeof g_exempt[0].library - 1);
  memcpy(g_exempt[g_exempt_count].library, library, length);
  g_exempt[g_exempt_count].library[length] = '\0';
  length = function == NULL ? 0 : strnlen(function, sizeof g_exempt[0].function - 1);
  if (length > 0) memcpy(g_exempt[g_exempt_count].function, function, length);
  g_exempt[g_exempt_count].function[length] = '\0';
  ++g_exempt_count;
}
