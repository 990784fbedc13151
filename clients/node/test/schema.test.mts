// The record types against docs/schema/: each type's table of keys and
// kinds (typed to list exactly the type's keys) must match the schema's
// properties, in wire order, field by field.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import * as client from 'sidecar-client';
import { REPO_DIR } from './support.mjs';

const SCHEMA_DIR = path.join(REPO_DIR, 'docs', 'schema');
type Property = { $ref?: string; const?: unknown; enum?: string[]; anyOf?: Array<{ type?: string; enum?: string[] }>; type?: string };
type Schema = { properties: Record<string, Property> };
const load = (name: string): any => JSON.parse(fs.readFileSync(path.join(SCHEMA_DIR, name), 'utf8'));
const defs = load('definitions.json').$defs as Record<string, Schema & Property>;

const REF_KINDS: Record<string, string> = { u32: 'u32', u64: 'u64', version: 'u32', optionalStartTimeMs: 'optionalU64', requestId: 'string', status: 'status' };

function kindOf(property: Property): unknown {
  if (property.$ref !== undefined) return REF_KINDS[property.$ref.split('/').at(-1) ?? ''] ?? property.$ref;
  if ('const' in property) return 'const';
  if (property.enum !== undefined) return property.enum;
  if (property.anyOf !== undefined) {
    const types = property.anyOf.map((p) => p.type).filter((t) => t !== 'null');
    if (types.length === 1 && types[0] === 'number') return 'number';
  }
  return property.type;
}

const TABLES: Array<[string, Record<string, unknown>]> = [
  ['messages/hello.json', client.HELLO_FIELDS],
  ['messages/snapshot.json', client.SNAPSHOT_FIELDS],
  ['messages/historyChunk.json', client.HISTORY_CHUNK_FIELDS],
  ['messages/processTable.json', client.PROCESS_TABLE_FIELDS],
  ['messages/error.json', client.ERROR_FIELDS],
  ['#processSample', client.PROCESS_SAMPLE_FIELDS],
  ['#matchedExternalProcess', client.MATCHED_EXTERNAL_PROCESS_FIELDS],
  ['#processTableEntry', client.PROCESS_TABLE_ENTRY_FIELDS],
  ['capabilities', client.CAPABILITIES_FIELDS],
];

test('record types agree with the schemas', () => {
  for (const [where, table] of TABLES) {
    const schema: Schema = where === 'capabilities'
      ? load('messages/hello.json').properties.capabilities
      : where.startsWith('#') ? defs[where.slice(1)]! : load(where);
    const properties = schema.properties;
    assert.deepEqual(Object.keys(table), Object.keys(properties), `${where}: keys`);
    for (const [key, kind] of Object.entries(table)) {
      assert.deepEqual(kind, kindOf(properties[key]!), `${where}: ${key}`);
    }
  }
});

test('the status type lists the status texts of the schema', () => {
  const statuses = defs['status']?.anyOf ?? [];
  assert.deepEqual([...client.PROCESS_STATUSES].sort(), [...(statuses[0]?.enum ?? [])].sort());
  assert.ok(statuses.some((s) => s.enum?.includes('Zombie')), 'rootGone looks for "Zombie"');
});
