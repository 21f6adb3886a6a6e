// bench_install_icon - how long the emblem icon set takes for a large picture,
// and how much memory its buffers need. Prints one line per picture side:
// the decode-crop-canvas step and the seven box-filter passes, in milliseconds.
// usage: bench_install_icon [SIDE...]   (default 320 1024 3800)
#include "install_icon_res.h"

#include <chrono>
#include <stdio.h>
#include <stdlib.h>
#include <string>

static std::string be32(uint32_t v)
{
    return std::string{(char)(v >> 24), (char)(v >> 16), (char)(v >> 8), (char)v};
}

static std::string chunk(const char *id, const std::string &d)
{
    return std::string(id, 4) + be32((uint32_t)d.size()) + d + (d.size() % 2 ? std::string(1, '\0') : "");
}

// A stored picture of side w: a bright disc on black, palette indices 0 and 1..255.
static std::string picture(uint32_t w)
{
    std::string bmhd = std::string{(char)(w >> 8), (char)w, (char)(w >> 8), (char)w} + std::string(16, '\0');
    std::string cmap(3, '\0');
    for (int k = 1; k < 256; k++) cmap += std::string{(char)k, (char)(255 - k), (char)128};
    uint32_t row = w + (w & 1);
    std::string px((size_t)row * w, '\0');
    double c = (w - 1) / 2.0, r2 = 0.2 * w * w;
    for (uint32_t y = 0; y < w; y++)
        for (uint32_t x = 0; x < w; x++)
            if ((x - c) * (x - c) + (y - c) * (y - c) < r2) px[(size_t)y * row + x] = (char)(1 + (x ^ y) % 255);
    std::string form = "PBM " + chunk("BMHD", bmhd) + chunk("CMAP", cmap) + chunk("BODY", px);
    return "FORM" + be32((uint32_t)form.size()) + form;
}

static double ms_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

int main(int argc, char **argv)
{
    const char *defaults[] = {"320", "1024", "3800"};
    int n = argc > 1 ? argc - 1 : 3;
    for (int i = 0; i < n; i++) {
        uint32_t w = (uint32_t)atoi(argc > 1 ? argv[i + 1] : defaults[i]);
        std::string pic = picture(w);
        auto t0 = std::chrono::steady_clock::now();
        emblem e;
        if (emblem_canvas((const unsigned char *)pic.data(), pic.size(), &e) != ICON_OK) {
            printf("side %u: refused\n", w);
            continue;
        }
        double canvas_ms = ms_since(t0);
        t0 = std::chrono::steady_clock::now();
        uint64_t image_bytes = 0;
        for (uint32_t t : emblem_sizes) {
            unsigned char *img = (unsigned char *)calloc(emblem_image_size(t), 1);
            emblem_scale(&e, t, img + 40);
            image_bytes += emblem_image_size(t);
            free(img);
        }
        double scale_ms = ms_since(t0);
        uint64_t rows = w + (w & 1);
        printf("side %u: canvas %u, decode+crop+canvas %.1f ms, 7 box filters %.1f ms; "
               "buffers: index %.1f MiB, colour %.1f MiB, canvas %.1f MiB, images %.2f MiB\n",
               w, e.side, canvas_ms, scale_ms, rows * w / 1048576.0, 4.0 * w * w / 1048576.0,
               4.0 * e.side * e.side / 1048576.0, image_bytes / 1048576.0);
        free(e.canvas);
    }
    return 0;
}
