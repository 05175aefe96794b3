/* Included first into every grammar's scanner.c: the scanners that call the C
 * library's allocator directly allocate through the runtime's allocator
 * instead, as the rest of the grammar code does (TREE_SITTER_REUSE_ALLOCATOR),
 * so that every block of a parse is one the parse can free. */
#ifndef VELBROOK_SCANNER_ALLOC_H
#define VELBROOK_SCANNER_ALLOC_H

#include <stdlib.h>

extern void *(*ts_current_malloc)(size_t size);
extern void *(*ts_current_calloc)(size_t count, size_t size);
extern void *(*ts_current_realloc)(void *ptr, size_t size);
extern void (*ts_current_free)(void *ptr);

#define malloc(size) ts_current_malloc(size)
#define calloc(count, size) ts_current_calloc(count, size)
#define realloc(ptr, size) ts_current_realloc(ptr, size)
#define free(ptr) ts_current_free(ptr)

#endif
