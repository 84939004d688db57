// Median cut over a 16 x 16 x 16 histogram of the top 4 bits of R, G, B. Each histogram cell
// lists the pixels that fall in it, so a box is measured and split by scanning only the cells it
// overlaps, and boxes are split by pixel counts, not by distinct colours.
#include <algorithm>
#include <bit>
#include <cstring>

#include "base/alloc.h"
#include "image/gif.h"

namespace {

constexpr int WORK_SLOTS = 5;
constexpr int CELLS = 16 * 16 * 16;
constexpr int MAX_BOXES = 256;
constexpr int MAX_NODES = 1024;

struct MedianCutInfo {
    RGB4* col;
    int count;
    int size;
};

// The work slots: cleared at the start of each use, their lists released at the end.
MedianCutInfo gif_histgram[WORK_SLOTS][CELLS];

struct ColorTree {
    int type;  // 0 leaf, 1 R, 2 G, 3 B: the axis split
    int pos;   // split value: below goes left
    ColorTree* left;
    ColorTree* right;
    int pal_index;
};

struct RGBColorInfo {
    int r_pos, g_pos, b_pos;
    int r_size, g_size, b_size;
    int64_t pixel_count;
    ColorTree* tree;
};

int median_info_maxlen(const RGBColorInfo& b) {
    return std::max({b.r_size, b.g_size, b.b_size});
}

// The number of binary digits of pixel_count.
int median_info_get_pixel_weit(const RGBColorInfo& b) {
    return static_cast<int>(std::bit_width(static_cast<uint64_t>(b.pixel_count)));
}

int median_info_maxtype(const RGBColorInfo& b) {
    int m = median_info_maxlen(b);
    if (b.r_size == m) return 1;
    if (b.g_size == m) return 2;
    if (b.b_size == m) return 3;
    return 0;
}

int cell_of(int r, int g, int b) {
    return ((r >> 4) << 8) | ((g >> 4) << 4) | (b >> 4);
}

bool inside(const RGBColorInfo& box, const RGB4& c) {
    return c.r >= box.r_pos && c.r < box.r_pos + box.r_size && c.g >= box.g_pos &&
           c.g < box.g_pos + box.g_size && c.b >= box.b_pos && c.b < box.b_pos + box.b_size;
}

// Calls f for every pixel of the cells the box overlaps that lies inside the box.
template <class F>
void for_box_pixels(MedianCutInfo* hist, const RGBColorInfo& box, F&& f) {
    int r0 = box.r_pos >> 4, r1 = (box.r_pos + box.r_size - 1) >> 4;
    int g0 = box.g_pos >> 4, g1 = (box.g_pos + box.g_size - 1) >> 4;
    int b0 = box.b_pos >> 4, b1 = (box.b_pos + box.b_size - 1) >> 4;
    for (int r = r0; r <= r1; r++)
        for (int g = g0; g <= g1; g++)
            for (int b = b0; b <= b1; b++) {
                const MedianCutInfo& cell = hist[(r << 8) | (g << 4) | b];
                for (int i = 0; i < cell.count; i++)
                    if (inside(box, cell.col[i])) f(cell.col[i]);
            }
}

// Shrinks the box to the smallest range holding its pixels; false when none lies in it.
bool shrink(MedianCutInfo* hist, RGBColorInfo* box) {
    int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
    int64_t n = 0;
    for_box_pixels(hist, *box, [&](const RGB4& c) {
        lo[0] = std::min<int>(lo[0], c.r), hi[0] = std::max<int>(hi[0], c.r);
        lo[1] = std::min<int>(lo[1], c.g), hi[1] = std::max<int>(hi[1], c.g);
        lo[2] = std::min<int>(lo[2], c.b), hi[2] = std::max<int>(hi[2], c.b);
        n++;
    });
    if (n == 0) return false;
    box->r_pos = lo[0], box->r_size = hi[0] - lo[0] + 1;
    box->g_pos = lo[1], box->g_size = hi[1] - lo[1] + 1;
    box->b_pos = lo[2], box->b_size = hi[2] - lo[2] + 1;
    return true;
}

}  // namespace

int GetColorInt(int r, int g, int b) {
    return (b & 0xFF) << 16 | (g & 0xFF) << 8 | (r & 0xFF);
}

int GetColorRGB(const RGB4* rgb) {
    return GetColorInt(rgb->r, rgb->g, rgb->b);
}

int MedianCut(const unsigned int* pData, int iWidth, int iHeight, ColorMap* cmap,
              unsigned char* pCode, int iWorkID) {
    if (!pData || !cmap || iWorkID < 0 || iWorkID >= WORK_SLOTS || iWidth < 1 || iHeight < 1)
        return 0;
    MedianCutInfo* hist = gif_histgram[iWorkID];
    const RGB4* px = reinterpret_cast<const RGB4*>(pData);
    int64_t npix = int64_t{iWidth} * iHeight;

    // 1. The histogram.
    for (int i = 0; i < CELLS; i++)
        hist[i] = MedianCutInfo{nullptr, 0, 0};
    int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
    for (int64_t i = 0; i < npix; i++) {
        RGB4 c = px[i];
        c.x = 0;
        MedianCutInfo& cell = hist[cell_of(c.r, c.g, c.b)];
        if (cell.count == cell.size) {
            int bigger = cell.size * 2 + 128;
            auto* grown = static_cast<RGB4*>(d_re_alloc(cell.col, int64_t{bigger} * 4));
            if (!grown) {
                grown = static_cast<RGB4*>(d_alloc(int64_t{bigger} * 4));
                if (cell.count > 0) memcpy(grown, cell.col, size_t(cell.count) * 4);
                d_f_ree(cell.col);
            }
            cell.col = grown;
            cell.size = bigger;
        }
        cell.col[cell.count++] = c;
        lo[0] = std::min<int>(lo[0], c.r), hi[0] = std::max<int>(hi[0], c.r);
        lo[1] = std::min<int>(lo[1], c.g), hi[1] = std::max<int>(hi[1], c.g);
        lo[2] = std::min<int>(lo[2], c.b), hi[2] = std::max<int>(hi[2], c.b);
    }

    // 2. The first box spans the picture's colours.
    auto* nodes = static_cast<ColorTree*>(d_calloc(MAX_NODES, sizeof(ColorTree)));
    int nnodes = 0;
    auto new_leaf = [&] {
        ColorTree* t = &nodes[nnodes++];
        *t = ColorTree{0, 0, nullptr, nullptr, 0};
        return t;
    };
    RGBColorInfo boxes[MAX_BOXES];
    int nboxes = 1;
    boxes[0] = RGBColorInfo{
        lo[0], lo[1],     lo[2], hi[0] - lo[0] + 1, hi[1] - lo[1] + 1, hi[2] - lo[2] + 1,
        npix,  new_leaf()};
    ColorTree* root = boxes[0].tree;

    // 3 to 5. Split the heaviest box until 256 boxes or none is wider than 1.
    int64_t count[256];
    while (nboxes < MAX_BOXES) {
        int chosen = 0;
        int64_t best = -1;
        for (int i = 0; i < nboxes; i++) {
            int64_t v =
                int64_t{median_info_maxlen(boxes[i])} * median_info_get_pixel_weit(boxes[i]);
            if (v > best) best = v, chosen = i;
        }
        RGBColorInfo box = boxes[chosen];
        if (median_info_maxlen(box) < 2) break;
        int axis = median_info_maxtype(box);
        int lo_v = axis == 1 ? box.r_pos : axis == 2 ? box.g_pos : box.b_pos;
        int size = axis == 1 ? box.r_size : axis == 2 ? box.g_size : box.b_size;
        int hi_v = lo_v + size - 1;
        std::fill(count, count + 256, 0);
        int64_t total = 0;
        for_box_pixels(hist, box, [&](const RGB4& c) {
            count[axis == 1 ? c.r : axis == 2 ? c.g : c.b]++;
            total++;
        });
        int split = lo_v + 1;
        int64_t running = count[lo_v];
        while (split < hi_v && running * 2 < total)
            running += count[split++];

        RGBColorInfo lower = box, upper = box;
        int* lower_size = axis == 1 ? &lower.r_size : axis == 2 ? &lower.g_size : &lower.b_size;
        int* upper_pos = axis == 1 ? &upper.r_pos : axis == 2 ? &upper.g_pos : &upper.b_pos;
        int* upper_size = axis == 1 ? &upper.r_size : axis == 2 ? &upper.g_size : &upper.b_size;
        *lower_size = split - lo_v;
        lower.pixel_count = running;
        *upper_pos = split;
        *upper_size = hi_v - split + 1;
        upper.pixel_count = total - running;
        lower.tree = new_leaf();
        upper.tree = new_leaf();
        box.tree->type = axis;
        box.tree->pos = split;
        box.tree->left = lower.tree;
        box.tree->right = upper.tree;

        boxes[chosen] = boxes[--nboxes];
        if (shrink(hist, &lower)) boxes[nboxes++] = lower;
        if (shrink(hist, &upper)) boxes[nboxes++] = upper;
    }

    // 6. The palette: each box's centre.
    for (int i = 0; i < 256; i++) {
        if (i < nboxes) {
            const RGBColorInfo& b = boxes[i];
            b.tree->pal_index = i;
            cmap->color[i] = RGB4{static_cast<uint8_t>(b.r_pos + b.r_size / 2),
                                  static_cast<uint8_t>(b.g_pos + b.g_size / 2),
                                  static_cast<uint8_t>(b.b_pos + b.b_size / 2), 0};
        } else {
            cmap->color[i] = RGB4{0, 0, 0, 0};
        }
    }

    // 7. Each pixel's index: down the tree to its leaf.
    if (pCode) {
        for (int64_t i = 0; i < npix; i++) {
            const RGB4& c = px[i];
            const ColorTree* t = root;
            while (t->type != 0) {
                int v = t->type == 1 ? c.r : t->type == 2 ? c.g : c.b;
                t = v < t->pos ? t->left : t->right;
            }
            pCode[i] = static_cast<unsigned char>(t->pal_index);
        }
    }

    // 8. Release the tree and the lists.
    d_f_ree(nodes);
    for (int i = 0; i < CELLS; i++) {
        d_f_ree(hist[i].col);
        hist[i] = MedianCutInfo{nullptr, 0, 0};
    }
    return -1;
}
