// Writes kolvex-web.json beside the WebAssembly program: the files a site needs (each checked
// to be there), the modules built in, as the program itself lists them, and the program's
// CRC-32, which a page checks what it fetched against.
//   node manifest.mjs DIR FILE...
import {existsSync, readFileSync, writeFileSync} from 'node:fs';
import {join} from 'node:path';
import {pathToFileURL} from 'node:url';

const [dir, ...files] = process.argv.slice(2);
for (const f of files) {
  if (!existsSync(join(dir, f))) throw new Error(`${join(dir, f)} is missing`);
}
const {crc32, makeEngine} = await import(pathToFileURL(join(dir, 'engine.js')));
const wasm = readFileSync(join(dir, 'kolvex.wasm'));
const engine = makeEngine(new WebAssembly.Module(wasm));
const modules = engine.modules();
if (modules.length === 0) throw new Error('kolvex.wasm holds no modules');
writeFileSync(join(dir, 'kolvex-web.json'), JSON.stringify({files, modules, wasm_crc32: crc32(wasm)}, null, 2) + '\n');
