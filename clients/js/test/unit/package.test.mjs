// What npm pack publishes, and the hand-written types against a page's use
// of the client.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { existsSync, readFileSync } from 'node:fs';
import { test } from 'node:test';

const root = new URL('../../', import.meta.url).pathname;

test('the package holds the module, its types and its read-me, and depends on nothing', () => {
  const env = { ...process.env, npm_config_update_notifier: 'false' };
  const [pack] = JSON.parse(execFileSync('npm', ['pack', '--dry-run', '--json'], { cwd: root, env, encoding: 'utf8' }));
  assert.deepEqual(pack.files.map((f) => f.path).sort(),
                   ['README.md', 'package.json', 'zuntar-mervo.d.ts', 'zuntar-mervo.js']);
  const manifest = JSON.parse(readFileSync(root + 'package.json', 'utf8'));
  assert.equal(manifest.dependencies, undefined);
  assert.equal(manifest.exports['.'].types, './zuntar-mervo.d.ts');
});

test('the types accept a page\'s use of the client (tsc --strict)', () => {
  const tsc = root + 'node_modules/.bin/tsc';
  assert.ok(existsSync(tsc), 'npm ci in clients/js (scripts/install-deps.sh does it) installs typescript');
  execFileSync(tsc, ['-p', root + 'test/types'], { stdio: 'inherit' });
});
