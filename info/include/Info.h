/*
 * The info plug-in bridge: loads the maker's info plug-in "libinfo.dylib" from the Libs
 * folder of a driver directory and forwards calls to its sixteen entry points.
 *
 * Every instance loads the plug-in for itself and unloads it in Info_Terminate; the bridge
 * keeps no global state and takes no lock, so an instance is for one thread at a time.
 * Nothing is logged: failures show only in the results documented below. Each forwarding
 * function takes the instance first and hands its other arguments, in order and
 * unchanged, to the plug-in's entry point of the same name, with the plug-in's context
 * handle in the instance's place.
 */
#ifndef ZELCUPS_INFO_H
#define ZELCUPS_INFO_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Two optional strings for the plug-in's Info_Initialize; their meaning is the
   plug-in's. The plug-in receives a pointer to a copy that lives only during that call. */
typedef struct InfoStringPair {
  const char *first;
  const char *second;
} InfoStringPair;

/* One open use of the plug-in for one queue. Opaque. */
typedef struct InfoInstance InfoInstance;

/*
 * Loads "<base_directory>/Libs/libinfo.dylib" (joined as given: no slash is added or
 * removed), requires all sixteen entry points, and asks the plug-in for a context for
 * queue_name. extra and flag are passed through (the agent gives "none" and false); so is
 * a copy of pair, or NULL when pair is NULL.
 * Returns NULL when base_directory, queue_name or extra is NULL, when the path would not
 * fit in 1024 bytes (base_directory longer than 1004 bytes), when memory runs out, when
 * the plug-in cannot be opened or lacks an entry point, or when the plug-in gives no
 * context; in every case nothing stays allocated or loaded.
 */
InfoInstance *Info_Initialize(const char *base_directory, const char *queue_name, const char *extra,
                              bool flag, const InfoStringPair *pair);

/* Ends the plug-in's context, unloads the plug-in and frees the instance. NULL: no-op. */
void Info_Terminate(InfoInstance *instance);

/*
 * The forwarding functions. When the instance or an argument marked "non-null" is NULL
 * they call nothing and return the value given after "refused".
 */

/* text and options non-null; refused -1. The agent passes true, "0000" and the address of
   a NULL handle. 0 is success; the plug-in may leave a handle in *options on failure too,
   and any non-NULL handle goes to Info_DestroyUpdatedOptions. */
int32_t Info_CreateUpdatedOptions(InfoInstance *instance, bool flag, const char *text,
                                  void **options);
/* options non-null; refused: nothing happens. */
void Info_DestroyUpdatedOptions(InfoInstance *instance, void *options);
/* options non-null; refused -1. */
int32_t Info_UpdateOptions(InfoInstance *instance, void *options);
/* refused false. */
bool Info_CheckDuplex(InfoInstance *instance);
/* refused true, unlike the other predicates. */
bool Info_CheckEnableBidiMode(InfoInstance *instance);
/* refused -1. */
int32_t Info_Duplex_GetPrinterXML_ByCtrlID(InfoInstance *instance, bool flag, int32_t value1,
                                           int32_t value2, int32_t value3);
/* refused false. */
bool Info_Duplex_EnableManagement(InfoInstance *instance);
/* data1 and data2 non-null; refused false. */
bool Info_Duplex_CheckManagement(InfoInstance *instance, void *data1, void *data2, int32_t value);
/* data non-null; refused -1. */
int32_t Info_Duplex_GetDigregData(InfoInstance *instance, void *data);
/* data non-null (value is passed on unexamined); refused -1. */
int32_t Info_SimplexDuplex_GetCalib3Info(InfoInstance *instance, int32_t value, void *data);
/* refused -1. */
int32_t Info_CheckSandbox(InfoInstance *instance);
/* refused -1. */
int32_t Info_CheckCacheFile(InfoInstance *instance);
/* refused -1. */
int32_t Info_GetJobAccountSettings(InfoInstance *instance, int32_t value1, int32_t value2);
/* refused -1. */
int32_t Info_SaveJobAccountSettings(InfoInstance *instance, int32_t value1, bool flag1,
                                    int32_t value2, int32_t value3, bool flag2);

#ifdef __cplusplus
}
#endif

#endif
