/** Writing commands and checking their values before they are written. */

import type { U64 } from './messages.js';

const U64_MAX = (1n << 64n) - 1n;

/** JSON text of a command, with `bigint` values written as exact integers. */
export function stringifyCommand(value: unknown): string {
  if (typeof value === 'bigint') return value.toString();
  if (Array.isArray(value)) return `[${value.map(stringifyCommand).join(',')}]`;
  if (value !== null && typeof value === 'object') {
    const parts: string[] = [];
    for (const [key, item] of Object.entries(value)) {
      if (item !== undefined) parts.push(`${JSON.stringify(key)}:${stringifyCommand(item)}`);
    }
    return `{${parts.join(',')}}`;
  }
  return JSON.stringify(value) ?? 'null';
}

export function checkU32(name: string, value: unknown): number {
  if (typeof value !== 'number' || !Number.isInteger(value) || value < 0 || value > 0xffffffff) {
    throw new RangeError(`${name} must be an integer from 0 to 4294967295, not ${String(value)}`);
  }
  return value;
}

export function checkU64(name: string, value: unknown): U64 {
  if (typeof value === 'bigint' && value >= 0n && value <= U64_MAX) return value;
  if (typeof value === 'number' && Number.isSafeInteger(value) && value >= 0) return value;
  throw new RangeError(`${name} must be a safe integer from 0 or a bigint up to 2^64 - 1, not ${String(value)}`);
}

export function checkBoolean(name: string, value: unknown): boolean {
  if (typeof value !== 'boolean') throw new TypeError(`${name} must be a boolean, not ${String(value)}`);
  return value;
}

/** Compares two u64 values exactly, whether `number` or `bigint`. */
export function compareU64(a: U64, b: U64): number {
  const x = BigInt(a);
  const y = BigInt(b);
  return x < y ? -1 : x > y ? 1 : 0;
}
