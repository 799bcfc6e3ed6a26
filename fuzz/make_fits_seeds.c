/* Writes the small FITS seed files of corpus/fits: one image of each pixel type, scaled and
   unscaled, a cube, and a tile-compressed image. cc make_fits_seeds.c -lcfitsio && ./a.out DIR */
#include <fitsio.h>
#include <stdio.h>
#include <string.h>

static void image(const char* dir, const char* name, int bitpix, int naxis, long* axes, double bzero,
                  int nulls) {
    char path[1024];
    snprintf(path, sizeof path, "!%s/%s", dir, name);
    fitsfile* f;
    int status = 0;
    long n = 1;
    for (int i = 0; i < naxis; ++i) n *= axes[i];
    double pixels[64];
    for (long i = 0; i < n && i < 64; ++i) pixels[i] = (double)((i * 37) % 23) + 1;
    if (nulls) pixels[3] = 0.0 / 0.0;
    if (nulls > 1) { /* a span wider than the double range */
        pixels[0] = -1.7e308;
        pixels[1] = 1.7e308;
        pixels[2] = 5e-324;
    }
    fits_create_file(&f, path, &status);
    fits_create_img(f, bitpix, naxis, axes, &status);
    if (bzero != 0) fits_write_key_dbl(f, "BZERO", bzero, -1, "", &status);
    if (bzero != 0) fits_set_bscale(f, 1.0, bzero, &status);
    if (strchr(name, '[')) { /* compressed images want the native type */
        unsigned short native[64];
        for (long i = 0; i < n && i < 64; ++i) native[i] = (unsigned short)pixels[i];
        fits_write_img(f, TUSHORT, 1, n, native, &status);
    } else {
        fits_write_img(f, TDOUBLE, 1, n, pixels, &status);
    }
    fits_close_file(f, &status);
    if (status) fits_report_error(stderr, status);
}

int main(int argc, char** argv) {
    const char* dir = argc > 1 ? argv[1] : ".";
    long flat[2] = {6, 4}, line[1] = {5}, cube[3] = {3, 2, 2}, odd[2] = {3, 3};
    image(dir, "u16.fit", USHORT_IMG, 2, flat, 0, 0);
    image(dir, "s16.fit", SHORT_IMG, 2, odd, 0, 0);
    image(dir, "u8.fit", BYTE_IMG, 1, line, 0, 0);
    image(dir, "s32.fit", LONG_IMG, 3, cube, 0, 0);
    image(dir, "f32_nan.fit", FLOAT_IMG, 2, flat, 0, 1);
    image(dir, "f64.fit", DOUBLE_IMG, 2, odd, 0, 0);
    image(dir, "f64_extremes.fit", DOUBLE_IMG, 2, odd, 0, 2);
    image(dir, "no_image.fit", SHORT_IMG, 0, flat, 0, 0);
    image(dir, "u16_rice.fit[compress R 3,2]", USHORT_IMG, 2, flat, 0, 0);
    return 0;
}
