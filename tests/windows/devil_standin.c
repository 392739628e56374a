/* A stand-in for DevIL.dll, so the Windows executable can run under wine without the real
 * library: a file "loads" when it can be read, unless it holds the crash marker, in which case
 * the stand-in crashes the way a broken decoder would; a save writes a one-pixel TGA. */
#define _IL_BUILD_LIBRARY
#include <IL/il.h>

#include <stdio.h>
#include <string.h>

#define CRASH_MARKER "ostrelle-standin-crash"

static ILenum lastError = IL_NO_ERROR;
static int haveImage = 0;

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

ILboolean ILAPIENTRY ilLoadImage(ILconst_string FileName) {
    char buf[4096];
    size_t n;
    FILE *f = fopen(FileName, "rb");
    haveImage = 0;
    if (f == NULL)
        return failWith(IL_COULD_NOT_OPEN_FILE);
    n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    if (strstr(buf, CRASH_MARKER) != NULL) {
        volatile int *nowhere = NULL;
        *nowhere = 1;
    }
    haveImage = 1;
    return IL_TRUE;
}

/* Writes the image as the smallest TGA there is: 1x1, 32-bit, uncompressed, one blue pixel. */
ILboolean ILAPIENTRY ilSaveImage(ILconst_string FileName) {
    static const unsigned char tga[18 + 4] = {0, 0, 2, 0, 0, 0,  0, 0,   0, 0, 0,
                                              0, 1, 0, 1, 0, 32, 8, 255, 0, 0, 255};
    FILE *f;
    int ok;
    if (!haveImage)
        return failWith(IL_ILLEGAL_OPERATION);
    f = fopen(FileName, "rb");
    if (f != NULL) {
        fclose(f);
        return failWith(IL_FILE_ALREADY_EXISTS);
    }
    f = fopen(FileName, "wb");
    if (f == NULL)
        return failWith(IL_COULD_NOT_OPEN_FILE);
    ok = fwrite(tga, 1, sizeof tga, f) == sizeof tga;
    if (fclose(f) != 0 || !ok)
        return failWith(IL_FILE_WRITE_ERROR);
    return IL_TRUE;
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
