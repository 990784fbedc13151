/**
 * Parsing of the sidecar's lines without loss of integer precision.
 *
 * The sidecar writes unsigned 64-bit integers exactly, but a JavaScript
 * number holds integers exactly only up to `Number.MAX_SAFE_INTEGER`
 * (2^53 − 1). An integer above that limit is returned as a `bigint`; every
 * other number stays a `number`. Lines without an integer of 16 or more
 * digits (all of them in practice) go through `JSON.parse` unchanged.
 */

/** A wire value after parsing: integers above 2^53 − 1 are `bigint`. */
export type WireValue =
  | null
  | boolean
  | number
  | bigint
  | string
  | WireValue[]
  | { [key: string]: WireValue };

const MAX_SAFE = BigInt(Number.MAX_SAFE_INTEGER);
const LONG_INTEGER = /\d{16,}/;

/** Parses one JSON text; throws `SyntaxError` when it is not JSON. */
export function parseWireJson(text: string): WireValue {
  if (!LONG_INTEGER.test(text)) {
    return JSON.parse(text) as WireValue;
  }
  const parser = new Parser(text);
  parser.skipSpace();
  const value = parser.value();
  parser.skipSpace();
  if (parser.pos !== text.length) {
    parser.fail('trailing characters');
  }
  return value;
}

/** A recursive-descent reader used only for lines that carry long integers. */
class Parser {
  pos = 0;

  constructor(private readonly text: string) {}

  fail(what: string): never {
    throw new SyntaxError(`${what} at position ${this.pos}`);
  }

  skipSpace(): void {
    while (this.pos < this.text.length && ' \t\r\n'.includes(this.text[this.pos]!)) {
      this.pos += 1;
    }
  }

  value(): WireValue {
    const c = this.text[this.pos];
    if (c === '{') return this.object();
    if (c === '[') return this.array();
    if (c === '"') return this.string();
    if (c === '-' || (c !== undefined && c >= '0' && c <= '9')) return this.number();
    for (const [word, val] of [['true', true], ['false', false], ['null', null]] as const) {
      if (this.text.startsWith(word, this.pos)) {
        this.pos += word.length;
        return val;
      }
    }
    return this.fail('expected a value');
  }

  private object(): WireValue {
    const out: { [key: string]: WireValue } = {};
    this.items('}', () => {
      if (this.text[this.pos] !== '"') this.fail('expected a key');
      const key = this.string();
      this.skipSpace();
      if (this.text[this.pos] !== ':') this.fail("expected ':'");
      this.pos += 1;
      this.skipSpace();
      out[key] = this.value();
    });
    return out;
  }

  private array(): WireValue {
    const out: WireValue[] = [];
    this.items(']', () => {
      out.push(this.value());
    });
    return out;
  }

  /**
   * Reads the comma-separated items of an object or array, from its opening
   * bracket through `close`; `item` reads one item, starting at its first
   * non-space character.
   */
  private items(close: '}' | ']', item: () => void): void {
    this.pos += 1;
    this.skipSpace();
    if (this.text[this.pos] === close) {
      this.pos += 1;
      return;
    }
    for (;;) {
      this.skipSpace();
      item();
      this.skipSpace();
      const c = this.text[this.pos];
      this.pos += 1;
      if (c === close) return;
      if (c !== ',') this.fail(`expected ',' or '${close}'`);
    }
  }

  private string(): string {
    // Find the closing quote, stepping over escapes, and let JSON.parse
    // decode the escapes of that one string.
    const start = this.pos;
    this.pos += 1;
    while (this.pos < this.text.length) {
      const c = this.text[this.pos];
      if (c === '\\') {
        this.pos += 2;
      } else if (c === '"') {
        this.pos += 1;
        return JSON.parse(this.text.slice(start, this.pos)) as string;
      } else {
        this.pos += 1;
      }
    }
    return this.fail('unterminated string');
  }

  private number(): number | bigint {
    const match = /^-?(0|[1-9]\d*)(\.\d+)?([eE][+-]?\d+)?/.exec(this.text.slice(this.pos, this.pos + 400));
    if (match === null) this.fail('invalid number');
    const token = match[0];
    this.pos += token.length;
    if (match[2] === undefined && match[3] === undefined) {
      const big = BigInt(token);
      if (big > MAX_SAFE || big < -MAX_SAFE) return big;
    }
    return Number(token);
  }
}

/** Whether `text` may hold an integer above 2^53 − 1 (it has 16 or more digits in a row). */
export function mayHoldUnsafeInteger(text: string): boolean {
  return LONG_INTEGER.test(text);
}

/**
 * The first `bigint` inside `value`, depth first in key order, with its
 * path ("processes[0].residentBytes"); null when there is none.
 */
export function findBigInt(value: WireValue, path = ''): { path: string; value: bigint } | null {
  if (typeof value === 'bigint') return { path, value };
  if (Array.isArray(value)) {
    for (let i = 0; i < value.length; i += 1) {
      const found = findBigInt(value[i]!, `${path}[${i}]`);
      if (found !== null) return found;
    }
  } else if (value !== null && typeof value === 'object') {
    for (const [key, item] of Object.entries(value)) {
      const found = findBigInt(item, path === '' ? key : `${path}.${key}`);
      if (found !== null) return found;
    }
  }
  return null;
}
