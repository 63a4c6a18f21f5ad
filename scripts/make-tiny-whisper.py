#!/usr/bin/python3
"""Write tiny whisper.cpp test models whose behaviour is fixed by construction.

Usage:
    make-tiny-whisper.py OUTPUT.bin              the speech model
    make-tiny-whisper.py --vad OUTPUT.bin        the voice activity (Silero-shaped) model
    make-tiny-whisper.py --print-sentence        the sentence the speech model writes
    make-tiny-whisper.py --print-vad-threshold   the frame RMS the VAD model calls speech
    make-tiny-whisper.py --sized NAME OUTPUT.bin a random-weight f16 model with the real dimensions
                                                 of NAME (see SIZED_MODELS), for timing only

Speech model: for any audio, greedy decoding in Japanese (with or without an
initial prompt, with or without timestamps) writes exactly KNOWN_SENTENCE and
then end-of-text. How (no training, no randomness; the same bytes every run):
  * multilingual layout: 51,865 tokens (the loader stops on fewer), f16 weights
    (f32 is refused), 80 mel bins, 1500 audio frames, 448 text positions;
    width 64, 2 heads, 4 encoder layers and 1 decoder layer.
  * vocabulary: ids 0..255 are the single bytes, then the sentence's pieces,
    then the kana and some common kanji (so prompts tokenise sensibly), then
    unique fillers up to id 50256; whisper.cpp adds the special tokens itself
    at the multilingual ids (end-of-text 50257, start 50258, ..., timestamps
    from 50364).
  * every attention, cross-attention and encoder weight is zero, so a decoder
    position sees only its own token: the audio cannot change the answer.
  * the sentence pieces s_1..s_n (pairwise distinct) and the chain's other
    tokens get an "input" and an "output" direction in the embedding; one
    decoder MLP unit per input token adds a large multiple of its successor's
    output direction, so the tied output projection prefers the successor:
    no-timestamps / first timestamp -> s_1 -> ... -> s_n -> end-of-text.

VAD model: the Silero v5 layout whisper.cpp expects (window 512, STFT basis
258x256, encoder 129-128-64-64-128, LSTM 128, one output), with weights that
sum the STFT magnitudes of a frame, so the speech probability is near 1 when a
frame is loud (RMS well above VAD_RMS_THRESHOLD) and near 0 when it is quiet.
"""
from __future__ import annotations

import argparse
import math
import os
import struct
import sys
from pathlib import Path

import numpy as np

KNOWN_SENTENCE = "明日の会議は十時から始まります。"
# The sentence as vocabulary pieces; they must be distinct and join to the sentence.
SENTENCE_PIECES = ["明日", "の", "会議", "は", "十時", "から", "始まり", "ます", "。"]

GGML_MAGIC = 0x67676D6C
GGML_F32 = 0
GGML_F16 = 1

N_VOCAB = 51865          # multilingual: 50257 text tokens + specials + 1501 timestamps
N_TEXT_TOKENS = 50257    # ids stored in the file; whisper.cpp adds the rest
N_AUDIO_CTX = 1500
N_TEXT_CTX = 448
N_STATE = 64
N_HEAD = 2
N_AUDIO_LAYER = 4
N_TEXT_LAYER = 1
N_MELS = 80
N_FFT_BINS = 201

# Special token ids of a multilingual vocabulary (as whisper.cpp numbers them).
TOKEN_EOT = 50257
TOKEN_NOT = 50363        # <|notimestamps|>
TOKEN_BEG = 50364        # <|0.00|>

# Embedding magnitudes (see the docstring): INPUT/OUTPUT are the two directions of a
# chain token; PUSH is what the MLP adds along the successor's output direction.
INPUT = 4.0
OUTPUT = 4.0
PUSH = 100.0
UNIT_BIAS = -2.5

# VAD: frames whose RMS is above this (full scale 1.0) are speech.
VAD_RMS_THRESHOLD = 0.005


def vocabulary() -> list[bytes]:
    tokens: list[bytes] = [bytes([b]) for b in range(256)]
    seen = set(tokens)

    def add(text: str) -> None:
        data = text.encode("utf-8")
        if data not in seen:
            seen.add(data)
            tokens.append(data)

    for piece in SENTENCE_PIECES:
        add(piece)
    for cp in list(range(0x3041, 0x3097)) + list(range(0x30A1, 0x30FB)) + [0x30FC, 0x3001, 0x3002]:
        add(chr(cp))
    for ch in "日本語会議時間今明後年月週分秒人大小中上下前後午朝夜話書読見言行来出入始終":
        add(ch)
    n = 0
    while len(tokens) < N_TEXT_TOKENS:
        data = f"<fill{n:05d}>".encode("ascii")
        n += 1
        if data not in seen:
            seen.add(data)
            tokens.append(data)
    return tokens


def sentence_ids(tokens: list[bytes]) -> list[int]:
    index = {t: i for i, t in enumerate(tokens)}
    ids = [index[p.encode("utf-8")] for p in SENTENCE_PIECES]
    if len(set(ids)) != len(ids) or "".join(SENTENCE_PIECES) != KNOWN_SENTENCE:
        sys.exit("make-tiny-whisper: the sentence pieces must be distinct and form the sentence")
    return ids


def speech_tensors(tokens: list[bytes]) -> list[tuple[str, np.ndarray, int]]:
    """(name, array in whisper.cpp's ggml dimension order reversed, ggml type)."""
    d = N_STATE
    ids = sentence_ids(tokens)
    # The chain: each input token and the token that must follow it.
    chain = [(TOKEN_NOT, ids[0]), (TOKEN_BEG, ids[0])]
    chain += [(ids[i], ids[i + 1]) for i in range(len(ids) - 1)]
    chain.append((ids[-1], TOKEN_EOT))
    inputs = [a for a, _ in chain]
    outputs = sorted({b for _, b in chain})
    if len(inputs) + len(outputs) > d or len(chain) > 4 * d:
        sys.exit("make-tiny-whisper: the sentence is too long for the model width")
    in_slot = {t: i for i, t in enumerate(inputs)}
    out_slot = {t: len(inputs) + i for i, t in enumerate(outputs)}

    emb = np.zeros((N_VOCAB, d), dtype=np.float32)
    for t, s in in_slot.items():
        emb[t, s] = INPUT
    for t, s in out_slot.items():
        emb[t, s] = OUTPUT

    # What the decoder MLP sees: layer-normed embedding of an input token.
    def layer_norm(x: np.ndarray) -> np.ndarray:
        return (x - x.mean()) / math.sqrt(x.var() + 1e-5)

    peak = layer_norm(emb[inputs[0]])[in_slot[inputs[0]]]
    act = peak + UNIT_BIAS  # GELU(act) ~ act for act ~ 3
    gelu = 0.5 * act * (1 + math.tanh(math.sqrt(2 / math.pi) * (act + 0.044715 * act ** 3)))
    w1 = np.zeros((4 * d, d), dtype=np.float32)   # torch layout: [out, in]
    b1 = np.zeros(4 * d, dtype=np.float32)
    w2 = np.zeros((d, 4 * d), dtype=np.float32)
    for unit, (a, b) in enumerate(chain):
        w1[unit, in_slot[a]] = 1.0
        b1[unit] = UNIT_BIAS
        w2[out_slot[b], unit] = PUSH / gelu
    b1[len(chain):] = -10.0  # unused units stay off

    f16, f32 = GGML_F16, GGML_F32
    zeros = lambda *shape: np.zeros(shape, dtype=np.float32)  # noqa: E731
    ones = lambda n: np.ones(n, dtype=np.float32)  # noqa: E731
    out: list[tuple[str, np.ndarray, int]] = [
        ("encoder.positional_embedding", zeros(N_AUDIO_CTX, d), f32),
        ("encoder.conv1.weight", zeros(d, N_MELS, 3), f16),
        ("encoder.conv1.bias", zeros(d, 1), f32),
        ("encoder.conv2.weight", zeros(d, d, 3), f16),
        ("encoder.conv2.bias", zeros(d, 1), f32),
        ("encoder.ln_post.weight", ones(d), f32),
        ("encoder.ln_post.bias", zeros(d), f32),
    ]

    def block(prefix: str, cross: bool, mlp: tuple | None) -> None:
        parts = [("attn", "attn_ln")] + ([("cross_attn", "cross_attn_ln")] if cross else [])
        for attn, ln in parts:
            out.extend([
                (f"{prefix}.{ln}.weight", ones(d), f32),
                (f"{prefix}.{ln}.bias", zeros(d), f32),
                (f"{prefix}.{attn}.query.weight", zeros(d, d), f16),
                (f"{prefix}.{attn}.query.bias", zeros(d), f32),
                (f"{prefix}.{attn}.key.weight", zeros(d, d), f16),
                (f"{prefix}.{attn}.value.weight", zeros(d, d), f16),
                (f"{prefix}.{attn}.value.bias", zeros(d), f32),
                (f"{prefix}.{attn}.out.weight", zeros(d, d), f16),
                (f"{prefix}.{attn}.out.bias", zeros(d), f32),
            ])
        m_w1, m_b1, m_w2 = mlp if mlp else (zeros(4 * d, d), zeros(4 * d), zeros(d, 4 * d))
        out.extend([
            (f"{prefix}.mlp_ln.weight", ones(d), f32),
            (f"{prefix}.mlp_ln.bias", zeros(d), f32),
            (f"{prefix}.mlp.0.weight", m_w1, f16),
            (f"{prefix}.mlp.0.bias", m_b1, f32),
            (f"{prefix}.mlp.2.weight", m_w2, f16),
            (f"{prefix}.mlp.2.bias", zeros(d), f32),
        ])

    for i in range(N_AUDIO_LAYER):
        block(f"encoder.blocks.{i}", cross=False, mlp=None)
    out.extend([
        ("decoder.positional_embedding", zeros(N_TEXT_CTX, d), f32),
        ("decoder.token_embedding.weight", emb, f16),
        ("decoder.ln.weight", ones(d), f32),
        ("decoder.ln.bias", zeros(d), f32),
    ])
    for i in range(N_TEXT_LAYER):
        block(f"decoder.blocks.{i}", cross=True, mlp=(w1, b1, w2) if i == 0 else None)
    expected = 11 + 15 * N_AUDIO_LAYER + 24 * N_TEXT_LAYER
    assert len(out) == expected, (len(out), expected)
    self_check(emb, w1, b1, w2, chain)
    return out


def self_check(emb, w1, b1, w2, chain) -> None:
    """Replays the decoder step in numpy: every chain token must pick its successor by a wide margin,
    ahead of the 1501 timestamp tokens together (whisper.cpp's timestamp rule)."""
    def ln(x):
        return (x - x.mean()) / np.sqrt(x.var() + 1e-5)

    def gelu(x):
        return 0.5 * x * (1 + np.tanh(np.sqrt(2 / np.pi) * (x + 0.044715 * x ** 3)))

    e16 = emb.astype(np.float16).astype(np.float32)
    for a, b in chain:
        x = e16[a]
        h = x + w2.astype(np.float16).astype(np.float32) @ gelu(w1.astype(np.float16).astype(np.float32) @ ln(x) + b1)
        logits = e16 @ ln(h)
        order = np.argsort(-logits)
        if order[0] != b or logits[b] - logits[order[1]] < 10 or logits[b] < math.log(1501) + 10:
            sys.exit(f"make-tiny-whisper: self-check failed for token {a} -> {b} (got {order[0]})")


def write_speech_model(path: Path) -> None:
    tokens = vocabulary()
    tensors = speech_tensors(tokens)
    with open(path, "wb") as f:
        f.write(struct.pack("<I", GGML_MAGIC))
        f.write(struct.pack("<11i", N_VOCAB, N_AUDIO_CTX, N_STATE, N_HEAD, N_AUDIO_LAYER, N_TEXT_CTX,
                            N_STATE, N_HEAD, N_TEXT_LAYER, N_MELS, GGML_F16))
        f.write(struct.pack("<2i", N_MELS, N_FFT_BINS))
        f.write(mel_filters().astype("<f4").tobytes())
        f.write(struct.pack("<i", len(tokens)))
        for t in tokens:
            f.write(struct.pack("<I", len(t)))
            f.write(t)
        for name, data, ttype in tensors:
            write_tensor(f, name, data, ttype)


def mel_filters(n_mels: int = N_MELS) -> np.ndarray:
    """A plain triangular mel filter bank (n_mels x 201); the decoder ignores the audio anyway."""
    def mel(f):
        return 2595.0 * np.log10(1.0 + f / 700.0)

    def hz(m):
        return 700.0 * (10 ** (m / 2595.0) - 1.0)

    freqs = np.linspace(0, 8000, N_FFT_BINS)
    points = hz(np.linspace(mel(0), mel(8000), n_mels + 2))
    bank = np.zeros((n_mels, N_FFT_BINS), dtype=np.float32)
    for i in range(n_mels):
        lo, mid, hi = points[i], points[i + 1], points[i + 2]
        up = (freqs - lo) / max(mid - lo, 1e-6)
        down = (hi - freqs) / max(hi - mid, 1e-6)
        bank[i] = np.maximum(0, np.minimum(up, down)) * 2.0 / max(hi - lo, 1e-6)
    return bank


def write_tensor(f, name: str, data: np.ndarray, ttype: int) -> None:
    """ggml stores dimensions innermost first: a torch [out, in] matrix is ne = (in, out)."""
    arr = np.ascontiguousarray(data, dtype=np.float16 if ttype == GGML_F16 else np.float32)
    dims = list(reversed(arr.shape))
    key = name.encode("utf-8")
    f.write(struct.pack("<3i", len(dims), len(key), ttype))
    f.write(struct.pack(f"<{len(dims)}i", *dims))
    f.write(key)
    f.write(arr.astype(arr.dtype.newbyteorder("<")).tobytes())


# ---------------------------------------------------------------------------------------------
# VAD model

VAD_WINDOW = 512
VAD_CONTEXT = 64
VAD_FFT = 256
VAD_BINS = VAD_FFT // 2 + 1  # 129
VAD_ENCODER = [(129, 128), (128, 64), (64, 64), (64, 128)]
VAD_HIDDEN = 128


def vad_basis() -> np.ndarray:
    """[258, 1, 256]: Hann-windowed cosines (real) then negated sines (imaginary)."""
    n = np.arange(VAD_FFT)
    window = 0.5 - 0.5 * np.cos(2 * np.pi * n / VAD_FFT)
    k = np.arange(VAD_BINS)[:, None]
    real = np.cos(2 * np.pi * k * n / VAD_FFT) * window
    imag = -np.sin(2 * np.pi * k * n / VAD_FFT) * window
    return np.concatenate([real, imag])[:, None, :].astype(np.float32)


def vad_energy(frame: np.ndarray, basis: np.ndarray) -> float:
    """What the generated encoder computes for one 512-sample frame (channel 0 of its output),
    before scaling: the summed STFT magnitudes of bins 1..128, STFT frames weighted 1, 2, 1, 1."""
    padded = np.pad(frame, (64, 64), mode="reflect")
    frames = [padded[s:s + VAD_FFT] for s in range(0, len(padded) - VAD_FFT + 1, 128)][:4]
    b = basis[:, 0, :]
    mags = []
    for fr in frames:
        out = b @ fr
        mag = np.sqrt(out[:VAD_BINS] ** 2 + out[VAD_BINS:] ** 2)
        mags.append(mag[1:].sum())
    w = [1, 2, 1, 1]
    return float(sum(wi * m for wi, m in zip(w, mags)))


def vad_tensors() -> list[tuple[str, np.ndarray, int]]:
    basis = vad_basis()
    # Calibrate on white noise at the threshold RMS: its energy is where the gate opens.
    rng = np.random.default_rng(1)
    ref = np.mean([vad_energy(rng.standard_normal(VAD_WINDOW) * VAD_RMS_THRESHOLD, basis) for _ in range(64)])
    scale = 1.0 / ref  # encoder channel 0 = energy / ref: 1.0 at the threshold

    f16, f32 = GGML_F16, GGML_F32
    encoder = []
    for i, (cin, cout) in enumerate(VAD_ENCODER):
        w = np.zeros((cout, cin, 3), dtype=np.float32)  # torch Conv1d [out, in, kernel]
        if i == 0:
            w[0, 1:, 1] = scale          # bins 1..128, centre tap only
        elif i in (1, 2):
            w[0, 0, :] = 1.0             # stride 2: add up the STFT frames
        else:
            w[0, 0, 1] = 1.0
        encoder.append((f"_model.encoder.{i}.reparam_conv.weight", w, f16))
        encoder.append((f"_model.encoder.{i}.reparam_conv.bias", np.zeros(cout, dtype=np.float32), f32))

    # LSTM unit 0: input and output gates open, forget gate shut, cell input tanh(8 (x - 1)):
    # h0 ~ tanh(tanh(8 (energy/ref - 1))). Every other unit stays at zero.
    h = VAD_HIDDEN
    w_ih = np.zeros((4 * h, h), dtype=np.float32)
    b_ih = np.zeros(4 * h, dtype=np.float32)
    w_hh = np.zeros((4 * h, h), dtype=np.float32)
    b_hh = np.zeros(4 * h, dtype=np.float32)
    b_ih[0] = 10.0          # input gate
    b_ih[h] = -10.0         # forget gate
    w_ih[2 * h, 0] = 8.0    # cell input
    b_ih[2 * h] = -8.0
    b_ih[3 * h] = 10.0      # output gate
    final_w = np.zeros(h, dtype=np.float32)
    final_w[0] = 20.0
    final_b = np.array([-6.0], dtype=np.float32)

    tensors = encoder + [
        ("_model.decoder.rnn.weight_ih", w_ih, f32),
        ("_model.decoder.rnn.weight_hh", w_hh, f32),
        ("_model.decoder.rnn.bias_ih", b_ih, f32),
        ("_model.decoder.rnn.bias_hh", b_hh, f32),
        ("_model.decoder.decoder.2.weight", final_w, f16),
        ("_model.decoder.decoder.2.bias", final_b, f32),
        ("_model.stft.forward_basis_buffer", basis, f16),
    ]
    return tensors


def write_vad_model(path: Path) -> None:
    with open(path, "wb") as f:
        f.write(struct.pack("<I", GGML_MAGIC))
        kind = b"silero-16k"
        f.write(struct.pack("<i", len(kind)))
        f.write(kind)
        f.write(struct.pack("<3i", 5, 1, 2))
        f.write(struct.pack("<2i", VAD_WINDOW, VAD_CONTEXT))
        f.write(struct.pack("<i", len(VAD_ENCODER)))
        for cin, cout in VAD_ENCODER:
            f.write(struct.pack("<3i", cin, cout, 3))
        f.write(struct.pack("<4i", 128, VAD_HIDDEN, VAD_HIDDEN, 1))
        for name, data, ttype in vad_tensors():
            write_tensor(f, name, data, ttype)


# ---------------------------------------------------------------------------------------------
# Real-size models with random weights (for measuring cost; they write nonsense)

# name: (n_vocab, n_state, n_head, n_audio_layer, n_text_layer, n_mels)
SIZED_MODELS = {
    # large-v3 encoder with a 2-layer decoder
    "kotoba-whisper-v2.0": (51866, 1280, 20, 32, 2, 128),
    "large-v3-turbo": (51866, 1280, 20, 32, 4, 128),
    "small": (51865, 768, 12, 12, 12, 80),
    "base": (51865, 512, 8, 6, 6, 80),
}


def write_sized_model(name: str, path: Path) -> None:
    if name not in SIZED_MODELS:
        sys.exit(f"make-tiny-whisper: unknown size {name!r}; one of {', '.join(SIZED_MODELS)}")
    n_vocab, d, heads, a_layers, t_layers, n_mels = SIZED_MODELS[name]
    rng = np.random.default_rng(sum(name.encode()))  # deterministic per model
    tokens = vocabulary()
    # large-v3 has one more language: its special tokens start one id later, so the file
    # carries the same 50257 text tokens.

    def rand(*shape, scale=0.02):
        return (rng.standard_normal(shape, dtype=np.float32) * scale)

    f16, f32 = GGML_F16, GGML_F32
    with open(path, "wb") as f:
        f.write(struct.pack("<I", GGML_MAGIC))
        f.write(struct.pack("<11i", n_vocab, N_AUDIO_CTX, d, heads, a_layers, N_TEXT_CTX,
                            d, heads, t_layers, n_mels, GGML_F16))
        f.write(struct.pack("<2i", n_mels, N_FFT_BINS))
        f.write(mel_filters(n_mels).astype("<f4").tobytes())
        f.write(struct.pack("<i", len(tokens)))
        for t in tokens:
            f.write(struct.pack("<I", len(t)))
            f.write(t)
        ones = lambda n: np.ones(n, dtype=np.float32)  # noqa: E731
        zeros = lambda *s: np.zeros(s, dtype=np.float32)  # noqa: E731
        write_tensor(f, "encoder.positional_embedding", rand(N_AUDIO_CTX, d), f32)
        write_tensor(f, "encoder.conv1.weight", rand(d, n_mels, 3), f16)
        write_tensor(f, "encoder.conv1.bias", zeros(d, 1), f32)
        write_tensor(f, "encoder.conv2.weight", rand(d, d, 3), f16)
        write_tensor(f, "encoder.conv2.bias", zeros(d, 1), f32)
        write_tensor(f, "encoder.ln_post.weight", ones(d), f32)
        write_tensor(f, "encoder.ln_post.bias", zeros(d), f32)

        def block(prefix: str, cross: bool) -> None:
            for attn, ln in [("attn", "attn_ln")] + ([("cross_attn", "cross_attn_ln")] if cross else []):
                write_tensor(f, f"{prefix}.{ln}.weight", ones(d), f32)
                write_tensor(f, f"{prefix}.{ln}.bias", zeros(d), f32)
                write_tensor(f, f"{prefix}.{attn}.query.weight", rand(d, d), f16)
                write_tensor(f, f"{prefix}.{attn}.query.bias", zeros(d), f32)
                write_tensor(f, f"{prefix}.{attn}.key.weight", rand(d, d), f16)
                write_tensor(f, f"{prefix}.{attn}.value.weight", rand(d, d), f16)
                write_tensor(f, f"{prefix}.{attn}.value.bias", zeros(d), f32)
                write_tensor(f, f"{prefix}.{attn}.out.weight", rand(d, d), f16)
                write_tensor(f, f"{prefix}.{attn}.out.bias", zeros(d), f32)
            write_tensor(f, f"{prefix}.mlp_ln.weight", ones(d), f32)
            write_tensor(f, f"{prefix}.mlp_ln.bias", zeros(d), f32)
            write_tensor(f, f"{prefix}.mlp.0.weight", rand(4 * d, d), f16)
            write_tensor(f, f"{prefix}.mlp.0.bias", zeros(4 * d), f32)
            write_tensor(f, f"{prefix}.mlp.2.weight", rand(d, 4 * d), f16)
            write_tensor(f, f"{prefix}.mlp.2.bias", zeros(d), f32)

        for i in range(a_layers):
            block(f"encoder.blocks.{i}", cross=False)
        write_tensor(f, "decoder.positional_embedding", rand(N_TEXT_CTX, d), f32)
        write_tensor(f, "decoder.token_embedding.weight", rand(n_vocab, d), f16)
        write_tensor(f, "decoder.ln.weight", ones(d), f32)
        write_tensor(f, "decoder.ln.bias", zeros(d), f32)
        for i in range(t_layers):
            block(f"decoder.blocks.{i}", cross=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output", nargs="?", type=Path)
    parser.add_argument("--vad", action="store_true", help="write the voice activity model instead")
    parser.add_argument("--print-sentence", action="store_true")
    parser.add_argument("--print-vad-threshold", action="store_true")
    parser.add_argument("--sized", metavar="NAME", help="random weights with the dimensions of NAME")
    args = parser.parse_args()
    if args.print_sentence:
        print(KNOWN_SENTENCE)
        return 0
    if args.print_vad_threshold:
        print(VAD_RMS_THRESHOLD)
        return 0
    if not args.output:
        parser.error("OUTPUT is required")
    tmp = args.output.with_name(f"{args.output.name}.tmp{os.getpid()}")
    if args.sized:
        write_sized_model(args.sized, tmp)
    else:
        (write_vad_model if args.vad else write_speech_model)(tmp)
    tmp.replace(args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
