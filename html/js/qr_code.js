// A QR code (ISO/IEC 18004) of the sign-in link: byte mode, level M, the smallest version, the best mask.

// Level M, per version 1..40: error correction codewords per block, and blocks.
const EC_PER_BLOCK = [10, 16, 26, 18, 24, 16, 18, 22, 22, 26, 30, 22, 22, 24, 24, 28, 28, 26, 26, 26, 26,
  ...Array(19).fill(28)];
const BLOCKS = [1, 1, 1, 2, 2, 4, 4, 4, 5, 5, 5, 8, 9, 9, 10, 10, 11, 13, 14, 16, 17, 17, 18, 20, 21, 23, 25,
  26, 28, 29, 31, 33, 35, 37, 38, 40, 43, 45, 47, 49];
const FORMAT_LEVEL_M = 0;  // the level's two bits in the format information
const QUIET_ZONE = 4;      // light modules around the symbol

// GF(256) with the polynomial x^8+x^4+x^3+x^2+1 (0x11d), by log tables.
const EXP = new Uint8Array(512);
const LOG = new Uint8Array(256);
for (let i = 0, x = 1; i < 255; i++, x = x & 0x80 ? (x << 1) ^ 0x11d : x << 1) {
  EXP[i] = EXP[i + 255] = x;
  LOG[x] = i;
}
const mul = (a, b) => (a && b ? EXP[LOG[a] + LOG[b]] : 0);

// The Reed-Solomon check codewords of `data`: the remainder of data·x^n
// divided by (x-α^0)(x-α^1)…(x-α^(n-1)).
// Example: reedSolomon([32, 91, 11, 120, 209, 114, 220, 77, 67, 64, 236, 17, 236, 17, 236, 17], 10)
//          → [196, 35, 39, 119, 235, 215, 231, 226, 93, 23] (the standard's "HELLO WORLD" at 1-M)
export function reedSolomon(data, n) {
  let gen = [1];  // highest power first
  for (let i = 0; i < n; i++) {
    const next = gen.concat(0);
    for (let j = 0; j < gen.length; j++) next[j + 1] ^= mul(gen[j], EXP[i]);
    gen = next;
  }
  const rest = new Array(n).fill(0);
  for (const byte of data) {
    const factor = byte ^ rest.shift();
    rest.push(0);
    for (let j = 0; j < n; j++) rest[j] ^= mul(gen[j + 1], factor);
  }
  return rest;
}

// Codewords (data and check) of a version: from the modules left for data.
// Example: capacity(1) → { total: 26, data: 16 }; capacity(15) → { total: 655, data: 415 }
export function capacity(version) {
  const v = version;
  let modules = (16 * v + 128) * v + 64;
  if (v >= 2) {
    const align = Math.floor(v / 7) + 2;
    modules -= (25 * align - 10) * align - 55;
  }
  if (v >= 7) modules -= 36;
  const total = modules >> 3;
  return { total, data: total - EC_PER_BLOCK[v - 1] * BLOCKS[v - 1] };
}

// The data codewords: mode 0100, the length, the bytes, terminator, padding.
// Example: dataCodewords([0x41], 1) → [0x40, 0x14, 0x10, 0xec, 0x11, 0xec, …] (16 codewords)
function dataCodewords(bytes, version) {
  const bits = [];
  const put = (value, length) => { for (let i = length - 1; i >= 0; i--) bits.push((value >>> i) & 1); };
  put(4, 4);
  put(bytes.length, version < 10 ? 8 : 16);
  for (const b of bytes) put(b, 8);
  const room = capacity(version).data * 8;
  put(0, Math.min(4, room - bits.length));
  put(0, (8 - (bits.length % 8)) % 8);
  const words = [];
  for (let i = 0; i < bits.length; i += 8) words.push(bits.slice(i, i + 8).reduce((a, b) => (a << 1) | b, 0));
  for (let pad = 0xec; words.length < room / 8; pad ^= 0xec ^ 0x11) words.push(pad);
  return words;
}

// Splits into blocks (the later ones one codeword longer), adds each
// block's check codewords and interleaves them.
function interleaved(data, version) {
  const { total } = capacity(version);
  const count = BLOCKS[version - 1];
  const ec = EC_PER_BLOCK[version - 1];
  const short = Math.floor(total / count) - ec;
  const blocks = [];
  for (let b = 0, at = 0; b < count; b++) {
    const length = short + (b >= count - (total % count) ? 1 : 0);
    blocks.push(data.slice(at, at += length));
  }
  const out = [];
  for (let i = 0; i <= short; i++) for (const block of blocks) if (i < block.length) out.push(block[i]);
  const checks = blocks.map((block) => reedSolomon(block, ec));
  for (let i = 0; i < ec; i++) for (const check of checks) out.push(check[i]);
  return out;
}

// The remainder of BCH code: value·x^(degree of poly) mod poly, over GF(2).
// Example: bch(0b00101, 0x537) → 0b001010011011100 (level M, mask 5; xor 0x5412 → 0b100000011001110)
const bch = (value, poly) => {
  const degree = 31 - Math.clz32(poly);
  let rest = value << degree;
  for (let i = 31 - Math.clz32(rest); i >= degree; i--) if ((rest >>> i) & 1) rest ^= poly << (i - degree);
  return (value << degree) | rest;
};

// Centres of the alignment patterns on either axis.
// Example: alignmentCentres(7) → [6, 22, 38]; alignmentCentres(1) → []
export function alignmentCentres(version) {
  if (version === 1) return [];
  const count = Math.floor(version / 7) + 2;
  const size = version * 4 + 17;
  const step = version === 32 ? 26 : Math.ceil((size - 13) / (count * 2 - 2)) * 2;
  const out = [6];
  for (let at = size - 7; out.length < count; at -= step) out.splice(1, 0, at);
  return out;
}

const MASKS = [
  (r, c) => (r + c) % 2 === 0,
  (r) => r % 2 === 0,
  (r, c) => c % 3 === 0,
  (r, c) => (r + c) % 3 === 0,
  (r, c) => (Math.floor(r / 2) + Math.floor(c / 3)) % 2 === 0,
  (r, c) => ((r * c) % 2) + ((r * c) % 3) === 0,
  (r, c) => (((r * c) % 2) + ((r * c) % 3)) % 2 === 0,
  (r, c) => (((r + c) % 2) + ((r * c) % 3)) % 2 === 0,
];

// The function patterns, the codewords in their zigzag, one mask; grid[r][c]
// is true for dark; `fixed` marks what no mask touches.
function symbol(version, codewords, mask) {
  const size = version * 4 + 17;
  const grid = Array.from({ length: size }, () => new Array(size).fill(false));
  const fixed = Array.from({ length: size }, () => new Array(size).fill(false));
  const set = (r, c, dark) => { grid[r][c] = dark; fixed[r][c] = true; };
  for (const [r0, c0] of [[0, 0], [0, size - 7], [size - 7, 0]]) {
    for (let r = -1; r <= 7; r++) {
      for (let c = -1; c <= 7; c++) {
        const d = Math.max(Math.abs(r - 3), Math.abs(c - 3));  // rings: 3 dark, 2 light, ≤1 dark, 4 separator
        if (r0 + r >= 0 && r0 + r < size && c0 + c >= 0 && c0 + c < size) set(r0 + r, c0 + c, d !== 2 && d !== 4);
      }
    }
  }
  const centres = alignmentCentres(version);
  for (const r of centres) {
    for (const c of centres) {
      if (fixed[r][c]) continue;  // under a finder
      for (let dr = -2; dr <= 2; dr++) for (let dc = -2; dc <= 2; dc++) set(r + dr, c + dc, Math.max(Math.abs(dr), Math.abs(dc)) !== 1);
    }
  }
  for (let i = 8; i < size - 8; i++) {  // timing, across the alignment patterns in step with them
    set(6, i, i % 2 === 0);
    set(i, 6, i % 2 === 0);
  }
  // Format information (level, mask) twice, with its fixed dark module.
  const format = bch((FORMAT_LEVEL_M << 3) | mask, 0x537) ^ 0x5412;
  const bit = (value, i) => ((value >>> i) & 1) === 1;
  for (let i = 0; i < 15; i++) {
    set(i < 6 ? i : i < 8 ? i + 1 : 8, i < 8 ? 8 : i === 8 ? 7 : 14 - i, bit(format, i));
    set(i < 8 ? 8 : size - 15 + i, i < 8 ? size - 1 - i : 8, bit(format, i));
  }
  set(size - 8, 8, true);
  if (version >= 7) {
    const info = bch(version, 0x1f25);
    for (let i = 0; i < 18; i++) {
      set(Math.floor(i / 3), size - 11 + (i % 3), bit(info, i));
      set(size - 11 + (i % 3), Math.floor(i / 3), bit(info, i));
    }
  }
  // Codewords from the bottom right, two columns at a time, up then down,
  // skipping the vertical timing pattern; remainder bits stay light.
  let n = 0;
  for (let right = size - 1, up = true; right > 0; right -= 2, up = !up) {
    if (right === 6) right = 5;
    for (let k = 0; k < size; k++) {
      const r = up ? size - 1 - k : k;
      for (const c of [right, right - 1]) {
        if (fixed[r][c]) continue;
        const dark = n < codewords.length * 8 && bit(codewords[n >> 3], 7 - (n & 7));
        n++;
        grid[r][c] = dark !== MASKS[mask](r, c);
      }
    }
  }
  return grid;
}

// The penalty that decides the mask: runs of five or more, 2×2 blocks,
// finder-like 1:1:3:1:1 runs beside four light ones, and a dark share far from half.
// Example: penalty(an all-light 21×21 grid) → 798 (runs) + 1200 (blocks) + 100 (share) = 2098
export function penalty(grid) {
  const size = grid.length;
  let score = 0;
  let dark = 0;
  const finderLike = [/10111010000/g, /00001011101/g];
  for (let pass = 0; pass < 2; pass++) {
    for (let i = 0; i < size; i++) {
      let line = "";
      for (let j = 0; j < size; j++) line += (pass ? grid[j][i] : grid[i][j]) ? "1" : "0";
      for (const run of line.match(/0{5,}|1{5,}/g) || []) score += run.length - 2;
      for (const pattern of finderLike) score += 40 * (line.match(pattern) || []).length;
    }
  }
  for (let r = 0; r < size; r++) {
    for (let c = 0; c < size; c++) {
      dark += grid[r][c];
      if (r && c && grid[r][c] === grid[r - 1][c] && grid[r][c] === grid[r][c - 1] && grid[r][c] === grid[r - 1][c - 1]) score += 3;
    }
  }
  return score + 10 * Math.floor(Math.abs(dark * 20 - size * size * 10) / (size * size));
}

// The grid of modules (true: dark), or null past version 40.
// Example: qrGrid("https://x.example/") → a 25×25 grid (version 2: 18 bytes need more than the 14 of version 1)
export function qrGrid(text) {
  const bytes = new TextEncoder().encode(text);
  let version = 1;
  while (version <= 40 && capacity(version).data < bytes.length + (version < 10 ? 2 : 3)) version++;
  if (version > 40) return null;
  const codewords = interleaved(dataCodewords(bytes, version), version);
  let best = null;
  for (let mask = 0; mask < 8; mask++) {
    const grid = symbol(version, codewords, mask);
    const score = penalty(grid);
    if (!best || score < best.score) best = { grid, score };
  }
  return best.grid;
}

// An SVG, dark on white, whole pixels per module (two or more), about `target` px wide.
// Example: qrSvg("https://x.example/", 240) → <svg width="231" …><rect …/><path d="M4 4h7v1h-7z…"/></svg>
export function qrSvg(text, target = 240) {
  const grid = qrGrid(text);
  if (!grid) return null;
  const side = grid.length + 2 * QUIET_ZONE;
  const px = Math.max(2, Math.round(target / side)) * side;
  let d = "";
  grid.forEach((row, r) => {
    for (let c = 0; c < row.length; c++) {
      if (!row[c]) continue;
      let end = c;
      while (row[end + 1]) end++;
      d += `M${c + QUIET_ZONE} ${r + QUIET_ZONE}h${end - c + 1}v1h-${end - c + 1}z`;
      c = end;
    }
  });
  const make = (tag, attrs) => {
    const node = document.createElementNS("http://www.w3.org/2000/svg", tag);
    for (const [key, value] of Object.entries(attrs)) node.setAttribute(key, value);
    return node;
  };
  const svg = make("svg", { viewBox: `0 0 ${side} ${side}`, width: px, height: px, "shape-rendering": "crispEdges" });
  svg.append(make("rect", { width: side, height: side, fill: "#fff" }), make("path", { d, fill: "#000" }));
  return svg;
}
