#!/usr/bin/python3
"""Write a tiny llama-architecture GGUF model whose answer is fixed by construction.

Usage:
    make-tiny-gguf.py [--llama-src DIR] OUTPUT.gguf
    make-tiny-gguf.py --print-sentence

For any ChatML prompt that ends in "<|im_start|>assistant\\n", greedy decoding
(and any ordinary sampling: the logits are very sharp) produces exactly
KNOWN_SENTENCE and then <|im_end|> (the end-of-generation token).

How it works (no training, no randomness; the same bytes come out every run):
  * 2 layers, embedding width 64, 4 heads of dim 16, FFN width 128.
  * The attention output and FFN down projections are zero, so every layer
    adds nothing and the final hidden state is the token's own embedding.
  * The sentence's tokens s_1..s_n (all distinct) get basis directions
    e_1..e_n; every other token of the vocabulary shares e_0.
  * The output matrix maps e_0 -> s_1, e_i -> s_{i+1} and e_n -> <|im_end|>,
    with a logit gap of about 128, so the next token depends only on the last
    one: a bigram chain that starts from any token outside the sentence.
  * The tokenizer (qwen2 byte-level BPE with ChatML special tokens and its
    chat template) is copied from llama.cpp's models/ggml-vocab-qwen2.gguf.

Needs numpy and llama.cpp's gguf-py. The llama.cpp source dir is taken from
--llama-src, else $QUILLORY_LLAMA_SRC, else `scripts/llama-runtime.sh --print-src`.
"""
from __future__ import annotations

import argparse
import os
import struct
import subprocess
import sys
import types
import unicodedata
from pathlib import Path
from typing import NoReturn

# Polished text the model always answers with. Its qwen2 tokens must be
# pairwise distinct (checked below) for the bigram chain to be unambiguous.
KNOWN_SENTENCE = "今日は良い天気です。"

N_EMBD = 64
N_HEAD = 4
N_HEAD_KV = 4
HEAD_DIM = N_EMBD // N_HEAD
N_FF = 128
N_LAYER = 2
CONTEXT_LENGTH = 4096
# Output-matrix weight. The final RMS norm scales a one-hot unit embedding to
# sqrt(N_EMBD) = 8, so the chosen token's logit is 8 * LOGIT_WEIGHT = 128 and
# every other logit is 0.
LOGIT_WEIGHT = 16.0

IM_START = "<|im_start|>"
IM_END = "<|im_end|>"
END_OF_TEXT = "<|endoftext|>"
CONTROL_TOKENS = (END_OF_TEXT, IM_START, IM_END)

SCRIPT_DIR = Path(__file__).resolve().parent


def fail(msg: str) -> NoReturn:
    print(f"make-tiny-gguf: error: {msg}", file=sys.stderr)
    sys.exit(1)


def find_llama_src(cli_value: str | None) -> Path:
    if cli_value:
        src = Path(cli_value)
    elif os.environ.get("QUILLORY_LLAMA_SRC"):
        src = Path(os.environ["QUILLORY_LLAMA_SRC"])
    else:
        runtime = SCRIPT_DIR / "llama-runtime.sh"
        try:
            out = subprocess.run(["bash", str(runtime), "--print-src"], check=True,
                                 stdout=subprocess.PIPE, text=True).stdout
        except (OSError, subprocess.CalledProcessError) as e:
            fail(f"cannot locate the llama.cpp source via {runtime}: {e}")
        src = Path(out.strip().splitlines()[-1])
    if not (src / "gguf-py" / "gguf" / "__init__.py").is_file():
        fail(f"{src} has no gguf-py/gguf")
    if not (src / "models" / "ggml-vocab-qwen2.gguf").is_file():
        fail(f"{src} has no models/ggml-vocab-qwen2.gguf")
    return src


def import_gguf(src: Path):
    sys.path.insert(0, str(src / "gguf-py"))
    try:
        import yaml  # noqa: F401  (gguf.metadata imports it; unused here)
    except ImportError:
        sys.modules["yaml"] = types.ModuleType("yaml")
    import gguf
    return gguf


# --- qwen2 byte-level BPE, enough to split KNOWN_SENTENCE like llama.cpp -----

def bytes_to_unicode() -> dict[int, str]:
    bs = (list(range(ord("!"), ord("~") + 1)) + list(range(ord("¡"), ord("¬") + 1))
          + list(range(ord("®"), ord("ÿ") + 1)))
    cs = bs[:]
    n = 0
    for b in range(256):
        if b not in bs:
            bs.append(b)
            cs.append(256 + n)
            n += 1
    return dict(zip(bs, map(chr, cs)))


def pretokenize(text: str) -> list[str]:
    """The qwen2 pre-tokenizer regex, restricted to letters, digits, punctuation
    and single spaces (no newlines or contractions, which KNOWN_SENTENCE avoids)."""
    def cat(c: str) -> str:
        return unicodedata.category(c)[0]

    if any(c in "\r\n\t'" for c in text):
        fail("KNOWN_SENTENCE must not contain newlines, tabs or apostrophes")
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if cat(c) == "L" or (cat(c) not in "LN" and i + 1 < len(text) and cat(text[i + 1]) == "L"):
            j = i + 1
            while j < len(text) and cat(text[j]) == "L":
                j += 1
        elif cat(c) == "N":
            j = i + 1
        else:
            j = i + 1
            while j < len(text) and not text[j].isspace() and cat(text[j]) not in "LN":
                j += 1
        out.append(text[i:j])
        i = j
    return out


def bpe_tokenize(text: str, token_ids: dict[str, int], merges: list[str]) -> list[int]:
    rank = {tuple(m.split(" ", 1)): i for i, m in enumerate(merges)}
    b2u = bytes_to_unicode()
    ids: list[int] = []
    for chunk in pretokenize(text):
        word = [b2u[b] for b in chunk.encode("utf-8")]
        while len(word) > 1:
            best_rank, best_i = min((rank.get((word[i], word[i + 1]), len(rank)), i)
                                    for i in range(len(word) - 1))
            if best_rank == len(rank):
                break
            word = word[:best_i] + [word[best_i] + word[best_i + 1]] + word[best_i + 2:]
        for piece in word:
            if piece not in token_ids:
                fail(f"BPE piece {piece!r} is not in the vocabulary")
            ids.append(token_ids[piece])
    return ids


def decode(ids: list[int], tokens: list[str]) -> str:
    u2b = {u: b for b, u in bytes_to_unicode().items()}
    return bytes(u2b[c] for i in ids for c in tokens[i]).decode("utf-8")


# --- reading the vocabulary file ------------------------------------------------
# gguf-py's GGUFReader takes tens of seconds on a 150k-token vocabulary, so the
# key/value section is parsed here directly. Each value keeps its raw encoded
# bytes, which are copied unchanged into the new file.

_SCALAR_FORMATS = {0: "<B", 1: "<b", 2: "<H", 3: "<h", 4: "<I", 5: "<i", 6: "<f",
                   7: "<?", 10: "<Q", 11: "<q", 12: "<d"}
_NUMPY_DTYPES = {0: "<u1", 1: "<i1", 2: "<u2", 3: "<i2", 4: "<u4", 5: "<i4", 6: "<f4",
                 7: "<u1", 10: "<u8", 11: "<i8", 12: "<f8"}
_STRING, _ARRAY = 8, 9


class KV:
    """One metadata value: its GGUF type, decoded value and raw encoding."""

    def __init__(self, vtype: int, sub_type: int | None, value, raw: bytes):
        self.vtype, self.sub_type, self.value, self.raw = vtype, sub_type, value, raw


def read_gguf_kv(path: Path) -> dict[str, KV]:
    import numpy as np
    data = path.read_bytes()
    if data[:4] != b"GGUF":
        fail(f"{path} is not a GGUF file")
    version, _n_tensors, n_kv = struct.unpack_from("<IQQ", data, 4)
    if version not in (2, 3):
        fail(f"{path}: unsupported GGUF version {version}")
    pos = 24

    def read_str(p: int) -> tuple[str, int]:
        (n,) = struct.unpack_from("<Q", data, p)
        return data[p + 8:p + 8 + n].decode("utf-8"), p + 8 + n

    out: dict[str, KV] = {}
    for _ in range(n_kv):
        key, pos = read_str(pos)
        (vtype,) = struct.unpack_from("<I", data, pos)
        pos += 4
        start = pos
        sub_type = None
        if vtype == _STRING:
            value, pos = read_str(pos)
        elif vtype == _ARRAY:
            sub_type, count = struct.unpack_from("<IQ", data, pos)
            pos += 12
            if sub_type == _STRING:
                value = []
                for _ in range(count):
                    item, pos = read_str(pos)
                    value.append(item)
            elif sub_type in _NUMPY_DTYPES:
                dt = np.dtype(_NUMPY_DTYPES[sub_type])
                value = np.frombuffer(data, dtype=dt, count=count, offset=pos).copy()
                pos += dt.itemsize * count
            else:
                fail(f"{path}: unsupported array type {sub_type} for {key}")
        elif vtype in _SCALAR_FORMATS:
            fmt = _SCALAR_FORMATS[vtype]
            (value,) = struct.unpack_from(fmt, data, pos)
            pos += struct.calcsize(fmt)
        else:
            fail(f"{path}: unsupported value type {vtype} for {key}")
        out[key] = KV(vtype, sub_type, value, data[start:pos])
    return out


# --- model --------------------------------------------------------------------

class RawValue:
    """A metadata value that is already encoded (everything after its type tag)."""

    def __init__(self, payload: bytes):
        self.payload = payload

    def __repr__(self) -> str:
        return f"RawValue({len(self.payload)} bytes)"


def _writer_class(gguf):
    class Writer(gguf.GGUFWriter):
        # Encoding 450k vocabulary strings one by one takes seconds; values
        # wrapped in RawValue are written as they are.
        def _pack_val(self, val, vtype, add_vtype, sub_type=None):
            if isinstance(val, RawValue):
                return (self._pack("I", vtype) if add_vtype else b"") + val.payload
            return super()._pack_val(val, vtype, add_vtype, sub_type)
    return Writer


def build(src: Path, output: Path) -> None:
    import numpy as np
    gguf = import_gguf(src)
    GT = gguf.GGUFValueType

    vocab = read_gguf_kv(src / "models" / "ggml-vocab-qwen2.gguf")
    fields = {name: kv for name, kv in vocab.items() if name.startswith("tokenizer.")}
    for name in ("tokenizer.ggml.tokens", "tokenizer.ggml.token_type", "tokenizer.ggml.merges"):
        if name not in fields:
            fail(f"the vocabulary file has no {name}")
    tokens: list[str] = fields["tokenizer.ggml.tokens"].value
    token_types = fields["tokenizer.ggml.token_type"].value.astype("<i4")
    merges: list[str] = fields["tokenizer.ggml.merges"].value
    n_vocab = len(tokens)
    token_ids = {t: i for i, t in enumerate(tokens)}
    for t in CONTROL_TOKENS:
        if t not in token_ids:
            fail(f"vocabulary lacks {t}")
        token_types[token_ids[t]] = int(gguf.TokenType.CONTROL)
    im_end = token_ids[IM_END]

    sentence = bpe_tokenize(KNOWN_SENTENCE, token_ids, merges)
    if decode(sentence, tokens) != KNOWN_SENTENCE:
        fail("tokens of KNOWN_SENTENCE do not decode back to it")
    if len(set(sentence)) != len(sentence):
        fail(f"KNOWN_SENTENCE has repeated tokens {sentence}; pick another sentence")
    if len(sentence) + 1 > N_EMBD:
        fail("KNOWN_SENTENCE has too many tokens for the embedding width")
    if any(token_types[t] != int(gguf.TokenType.NORMAL) for t in sentence):
        fail("KNOWN_SENTENCE contains a special token")

    # Direction 0 is shared by every token outside the sentence; sentence
    # token k (0-based) owns direction k + 1.
    embd = np.zeros((n_vocab, N_EMBD), dtype=np.float16)
    embd[:, 0] = 1.0
    out = np.zeros((n_vocab, N_EMBD), dtype=np.float16)
    chain = sentence + [im_end]
    out[chain[0], 0] = LOGIT_WEIGHT
    for k, tok in enumerate(sentence):
        embd[tok, 0] = 0.0
        embd[tok, k + 1] = 1.0
        out[chain[k + 1], k + 1] = LOGIT_WEIGHT

    arch = "llama"
    tmp = output.with_name(f".{output.name}.tmp{os.getpid()}")
    w = _writer_class(gguf)(str(tmp), arch)
    w.add_name("quillory-tiny-polish")
    w.add_description("Tiny test model: answers every ChatML prompt with one fixed sentence")
    w.add_file_type(int(gguf.LlamaFileType.MOSTLY_F16))
    w.add_vocab_size(n_vocab)
    w.add_context_length(CONTEXT_LENGTH)
    w.add_embedding_length(N_EMBD)
    w.add_block_count(N_LAYER)
    w.add_feed_forward_length(N_FF)
    w.add_head_count(N_HEAD)
    w.add_head_count_kv(N_HEAD_KV)
    w.add_rope_dimension_count(HEAD_DIM)
    w.add_rope_freq_base(10000.0)
    w.add_layer_norm_rms_eps(1e-6)

    # Copy every tokenizer.* value byte for byte, except the ones set below.
    overridden = {"tokenizer.ggml.token_type", "tokenizer.ggml.eos_token_id",
                  "tokenizer.ggml.add_bos_token", "tokenizer.ggml.add_eos_token"}
    for name, kv in fields.items():
        if name not in overridden:
            w.add_key_value(name, RawValue(kv.raw), GT(kv.vtype))
    w.add_key_value("tokenizer.ggml.token_type",
                    RawValue(struct.pack("<IQ", int(GT.INT32), n_vocab) + token_types.tobytes()),
                    GT.ARRAY)
    w.add_key_value("tokenizer.ggml.eos_token_id", im_end, GT.UINT32)
    w.add_key_value("tokenizer.ggml.add_bos_token", False, GT.BOOL)
    w.add_key_value("tokenizer.ggml.add_eos_token", False, GT.BOOL)
    if "tokenizer.chat_template" not in fields:
        w.add_key_value("tokenizer.chat_template",
                        "{% for message in messages %}{{'<|im_start|>' + message['role'] + '\n' + "
                        "message['content'] + '<|im_end|>' + '\n'}}{% endfor %}"
                        "{% if add_generation_prompt %}{{ '<|im_start|>assistant\n' }}{% endif %}",
                        GT.STRING)

    ones = np.ones(N_EMBD, dtype=np.float32)
    w.add_tensor("token_embd.weight", embd)
    w.add_tensor("output_norm.weight", ones)
    w.add_tensor("output.weight", out)
    for i in range(N_LAYER):
        p = f"blk.{i}."
        w.add_tensor(p + "attn_norm.weight", ones)
        w.add_tensor(p + "attn_q.weight", np.zeros((N_HEAD * HEAD_DIM, N_EMBD), np.float16))
        w.add_tensor(p + "attn_k.weight", np.zeros((N_HEAD_KV * HEAD_DIM, N_EMBD), np.float16))
        w.add_tensor(p + "attn_v.weight", np.zeros((N_HEAD_KV * HEAD_DIM, N_EMBD), np.float16))
        w.add_tensor(p + "attn_output.weight", np.zeros((N_EMBD, N_HEAD * HEAD_DIM), np.float16))
        w.add_tensor(p + "ffn_norm.weight", ones)
        w.add_tensor(p + "ffn_gate.weight", np.zeros((N_FF, N_EMBD), np.float16))
        w.add_tensor(p + "ffn_up.weight", np.zeros((N_FF, N_EMBD), np.float16))
        w.add_tensor(p + "ffn_down.weight", np.zeros((N_EMBD, N_FF), np.float16))

    try:
        w.write_header_to_file()
        w.write_kv_data_to_file()
        w.write_tensors_to_file()
        w.close()
        os.replace(tmp, output)
    finally:
        if tmp.exists():
            tmp.unlink()
    print(f"make-tiny-gguf: wrote {output} ({output.stat().st_size} bytes); "
          f"sentence tokens {sentence}, then {im_end} ({IM_END})", file=sys.stderr)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("output", nargs="?", help="GGUF file to write")
    ap.add_argument("--llama-src", help="llama.cpp source dir (has gguf-py/ and models/)")
    ap.add_argument("--print-sentence", action="store_true",
                    help="print the sentence the model answers with, and exit")
    args = ap.parse_args()
    if args.print_sentence:
        sys.stdout.write(KNOWN_SENTENCE + "\n")
        return
    if not args.output:
        ap.error("OUTPUT.gguf is required")
    output = Path(args.output)
    if output.parent and not output.parent.is_dir():
        output.parent.mkdir(parents=True, exist_ok=True)
    build(find_llama_src(args.llama_src), output)


if __name__ == "__main__":
    main()
