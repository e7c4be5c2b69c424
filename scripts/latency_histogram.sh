#!/usr/bin/env bash
# Draws key-press-to-handled latencies (one value in ms per line, from
# FILE) as an SVG histogram of 5 ms bins over 0-125 ms, with the worker's
# 100 ms cycle marked. Writes the SVG to standard output.
#   bash scripts/latency_histogram.sh FILE > latency.svg
set -euo pipefail
awk '
BEGIN { bins = 25; width_ms = 5; n = 0 }
NF { v = $1 + 0; b = int(v / width_ms); if (b >= bins) b = bins - 1; if (b < 0) b = 0; count[b]++; n++
     if (n == 1 || v < lo) lo = v; if (n == 1 || v > hi) hi = v }
END {
    W = 640; H = 330; left = 50; right = 20; top = 50; bottom = 50
    pw = W - left - right; ph = H - top - bottom
    max = 1; for (b = 0; b < bins; b++) if (count[b] > max) max = count[b]
    bw = pw / bins
    printf "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" font-size=\"12\">\n", W, H, W, H
    printf "<rect width=\"%d\" height=\"%d\" fill=\"white\"/>\n", W, H
    printf "<text x=\"%d\" y=\"18\" font-size=\"14\">Key press to handled message</text>\n", left
    printf "<text x=\"%d\" y=\"33\" fill=\"#555\">%d presses at random moments of the cycle; min %.1f ms, max %.1f ms</text>\n", left, n, lo, hi
    for (b = 0; b < bins; b++) {
        h = (count[b] + 0) / max * ph
        printf "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"#4a7ab5\"><title>%d-%d ms: %d</title></rect>\n", left + b * bw + 1, top + ph - h, bw - 2, h, b * width_ms, (b + 1) * width_ms, count[b] + 0
    }
    printf "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"black\"/>\n", left, top + ph, left + pw, top + ph
    printf "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"black\"/>\n", left, top, left, top + ph
    for (t = 0; t <= 125; t += 25) {
        x = left + t / width_ms * bw
        printf "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"black\"/>\n", x, top + ph, x, top + ph + 4
        printf "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%d</text>\n", x, top + ph + 18, t
    }
    printf "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">milliseconds</text>\n", left + pw / 2, H - 8
    printf "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">%d</text>\n", left - 6, top + 4, max
    printf "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">0</text>\n", left - 6, top + ph
    printf "<text transform=\"translate(14 %d) rotate(-90)\" text-anchor=\"middle\">presses</text>\n", top + ph / 2
    x = left + 100 / width_ms * bw
    printf "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#c0392b\" stroke-width=\"2\" stroke-dasharray=\"6 4\"/>\n", x, top - 4, x, top + ph
    printf "<text x=\"%.1f\" y=\"%d\" fill=\"#c0392b\">one cycle</text>\n", x + 5, top + 10
    printf "<text x=\"%.1f\" y=\"%d\" fill=\"#c0392b\">(100 ms)</text>\n", x + 5, top + 25
    print "</svg>"
}' "$1"
