/* A stand-in for DevIL.dll, so the Windows executable can run under wine without the real
 * library: a stream "loads" when it can be read, and a save writes a one-pixel TGA. Markers in the
 * file make it misbehave as a broken decoder would: "ostrelle-standin-crash" crashes the load,
 * "ostrelle-standin-slow" makes it take two seconds, "ostrelle-standin-hang" never ends it, and
 * "ostrelle-standin-grow" makes the save write past 3 GiB ("ostrelle-standin-grow-stay": and then
 * never end). Every load fails when the variable OSTRELLE_STANDIN_REFUSE is set, which no worker
 * may see: its environment is not the user's. The streams come from the program, which shares this
 * DLL's C runtime. */
#define _IL_BUILD_LIBRARY
#include <IL/il.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static ILenum lastError = IL_NO_ERROR;
static int haveImage = 0;
static int grow = 0, stay = 0;

static ILboolean failWith(ILenum code) {
    lastError = code;
    return IL_FALSE;
}

void ILAPIENTRY ilInit(void) {}

ILenum ILAPIENTRY ilGetError(void) {
    ILenum code = lastError;
    lastError = IL_NO_ERROR;
    return code;
}

/* Like DevIL 1.7.8, which has no text for error codes. */
ILconst_string ILAPIENTRY ilGetString(ILenum StringName) {
    (void)StringName;
    return NULL;
}

/* Names ending in .png are PNG files; any other ending names no format. */
ILenum ILAPIENTRY ilTypeFromExt(ILconst_string FileName) {
    const char *dot = strrchr(FileName, '.');
    return dot != NULL && _stricmp(dot, ".png") == 0 ? IL_PNG : IL_TYPE_UNKNOWN;
}

/* Without an ending, any file that holds something is taken for a PNG, and the stream is left
 * where it was, as the library leaves it. */
ILenum ILAPIENTRY ilDetermineTypeF(ILHANDLE File) {
    const long at = ftell((FILE *)File);
    const int c = fgetc((FILE *)File);
    fseek((FILE *)File, at, SEEK_SET);
    return c != EOF ? IL_PNG : IL_TYPE_UNKNOWN;
}

ILboolean ILAPIENTRY ilLoadF(ILenum Type, ILHANDLE File) {
    char buf[4096];
    size_t n;
    haveImage = 0;
    if (File == NULL || Type != IL_PNG)
        return failWith(IL_INVALID_PARAM);
    if (getenv("OSTRELLE_STANDIN_REFUSE") != NULL)
        return failWith(IL_ILLEGAL_OPERATION);
    n = fread(buf, 1, sizeof buf - 1, (FILE *)File);
    buf[n] = '\0';
    if (strstr(buf, "ostrelle-standin-crash") != NULL) {
        volatile int *nowhere = NULL;
        *nowhere = 1;
    }
    if (strstr(buf, "ostrelle-standin-slow") != NULL)
        Sleep(2000);
    if (strstr(buf, "ostrelle-standin-hang") != NULL)
        Sleep(INFINITE);
    grow = strstr(buf, "ostrelle-standin-grow") != NULL;
    stay = strstr(buf, "ostrelle-standin-grow-stay") != NULL;
    haveImage = 1;
    return IL_TRUE;
}

/* Writes the image as the smallest TGA there is: 1x1, 32-bit, uncompressed, one blue pixel;
 * returns the bytes written, as the library does. */
ILuint ILAPIENTRY ilSaveF(ILenum Type, ILHANDLE File) {
    static const unsigned char tga[18 + 4] = {0, 0, 2, 0, 0, 0,  0, 0,   0, 0, 0,
                                              0, 1, 0, 1, 0, 32, 8, 255, 0, 0, 255};
    if (!haveImage || Type != IL_TGA)
        return failWith(IL_ILLEGAL_OPERATION);
    if (fwrite(tga, 1, sizeof tga, (FILE *)File) != sizeof tga)
        return failWith(IL_FILE_WRITE_ERROR);
    /* A file with a hole, so that growing past the bound takes no time and no disk. */
    if (grow && (_fseeki64((FILE *)File, 3LL << 30, SEEK_SET) != 0 ||
                 fputc(0, (FILE *)File) == EOF || fflush((FILE *)File) != 0))
        return failWith(IL_FILE_WRITE_ERROR);
    if (stay)
        Sleep(INFINITE);
    return sizeof tga;
}

/* The loaded "image" is one 8-bit BGRA pixel, which a TGA holds as it is. */
ILint ILAPIENTRY ilGetInteger(ILenum Mode) {
    switch (Mode) {
    case IL_IMAGE_WIDTH: return haveImage;
    case IL_IMAGE_HEIGHT: return haveImage;
    case IL_IMAGE_FORMAT: return IL_BGRA;
    case IL_IMAGE_TYPE: return IL_UNSIGNED_BYTE;
    case IL_PALETTE_TYPE: return IL_PAL_NONE;
    default: return 0;
    }
}

ILboolean ILAPIENTRY ilConvertImage(ILenum DestFormat, ILenum DestType) {
    (void)DestFormat;
    (void)DestType;
    return haveImage ? IL_TRUE : failWith(IL_ILLEGAL_OPERATION);
}

/* Exported under the name of every listed function this file does not define, so that the
 * stand-in links whatever the list holds; such a call reports failure. */
int ILAPIENTRY standinMissing(void) { return 0; }
