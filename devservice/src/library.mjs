import { RequestError } from './http.mjs';

const FILE_FORMATS = ['2D', 'SBS', 'TB', 'Spatial', 'Separate', 'AIV'];
export const URL_FIELDS = ['uploadedUrl', 'uploadedUrlRight', 'aimeUrl', 'fcpxmlUrl'];
const REQUIRED_FIELDS = ['uploadedUrl', 'fileFormat3D', 'is3D', 'perspective', 'videoName'];
const INT32_MIN = -(2 ** 31);
const INT32_MAX = 2 ** 31 - 1;

/**
 * Checks the form fields of a library submission, including that the files sent fit the
 * format: a right-eye file exactly for "Separate", side files only for "AIV", and 3D for
 * everything but "2D".
 */
export function readSubmission(fields) {
  const missing = REQUIRED_FIELDS.find((name) => !fields.has(name));
  if (missing) throw new RequestError(`Missing field "${missing}"`);
  const [is3DText, perspectiveText, fileFormat3D, videoName] = [
    'is3D',
    'perspective',
    'fileFormat3D',
    'videoName',
  ].map((name) => fields.get(name));
  if (is3DText !== 'true' && is3DText !== 'false') throw new RequestError('is3D must be "true" or "false"');
  const perspective = Number(perspectiveText);
  if (!/^-?\d+$/.test(perspectiveText) || perspective < INT32_MIN || perspective > INT32_MAX) {
    throw new RequestError('perspective must be a decimal integer');
  }
  if (!FILE_FORMATS.includes(fileFormat3D)) {
    throw new RequestError(`fileFormat3D must be one of ${FILE_FORMATS.join(', ')}`);
  }
  if (videoName.trim() === '') throw new RequestError('videoName must not be empty');
  const is3D = is3DText === 'true';
  if (is3D === (fileFormat3D === '2D'))
    throw new RequestError('is3D must be false exactly for fileFormat3D "2D"');
  if (fields.has('uploadedUrlRight') !== (fileFormat3D === 'Separate')) {
    throw new RequestError('uploadedUrlRight belongs with fileFormat3D "Separate" and only with it');
  }
  if ((fields.has('aimeUrl') || fields.has('fcpxmlUrl')) && fileFormat3D !== 'AIV') {
    throw new RequestError('aimeUrl and fcpxmlUrl belong with fileFormat3D "AIV" only');
  }
  return {
    uploadedUrl: fields.get('uploadedUrl'),
    uploadedUrlRight: fields.get('uploadedUrlRight') ?? null,
    fileFormat3D,
    is3D,
    perspective,
    videoName,
    aimeUrl: fields.get('aimeUrl') ?? null,
    fcpxmlUrl: fields.get('fcpxmlUrl') ?? null,
  };
}

/** The library entries registered, across workspaces, kept in `file` across restarts. */
export class Library {
  #entries;
  #file;

  constructor(file, entries = []) {
    this.#file = file;
    this.#entries = entries;
  }

  /** Resolves to the new entry once it is on disk, so that an entry answered is never lost. */
  async add(workspace, submission) {
    const entry = {
      id: this.#entries.length + 1,
      video_url_left: submission.uploadedUrl,
      video_url_right: submission.uploadedUrlRight,
      video_name: submission.videoName,
      workspace_id: workspace.id,
      perspective: submission.perspective,
      is_3d: submission.is3D,
      file_format_3d: submission.fileFormat3D,
      aime_url: submission.aimeUrl,
      fcpxml_url: submission.fcpxmlUrl,
      created_at: new Date().toISOString(),
    };
    this.#entries.push(entry);
    await this.#file.save(this.#entries);
    return { ...entry };
  }

  list() {
    return this.#entries.map((entry) => ({ ...entry }));
  }
}
