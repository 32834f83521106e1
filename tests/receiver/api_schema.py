"""Checks of the console API's OpenAPI document and of answers against it, with jsonschema
(Debian: python3-jsonschema, draft 2020-12).

check_document: the document is valid OpenAPI 3.1 (the OpenAPI Initiative's schema,
tests/receiver/openapi-3.1-schema.json) and each schema in it is valid JSON Schema 2020-12.
check_answer: an answer's status is one the document lists for that operation, with its
content type, its headers, and a body its schema accepts."""

import json
import os

import jsonschema

HERE = os.path.dirname(os.path.abspath(__file__))
DOCUMENT = os.path.join(HERE, '..', '..', 'receiver', 'console', 'api', 'openapi.json')
META = os.path.join(HERE, 'openapi-3.1-schema.json')
DIALECT = 'https://json-schema.org/draft/2020-12/schema'


def load_document():
    with open(DOCUMENT, encoding='utf-8') as f:
        return json.load(f)


def _schemas(node):
    """Every Schema Object in the document: under components/schemas and each content's."""
    if isinstance(node, dict):
        for key, value in node.items():
            if key == 'schema' and isinstance(value, dict):
                yield value
            elif key == 'schemas' and isinstance(value, dict):
                yield from value.values()
            else:
                yield from _schemas(value)
    elif isinstance(node, list):
        for item in node:
            yield from _schemas(item)


def check_document(document):
    with open(META, encoding='utf-8') as f:
        meta = json.load(f)
    jsonschema.Draft202012Validator(meta).validate(document)
    for schema in _schemas(document):
        jsonschema.Draft202012Validator.check_schema(schema)


def _resolve(document, node):
    while isinstance(node, dict) and '$ref' in node and node['$ref'].startswith('#/components/responses/'):
        node = document['components']['responses'][node['$ref'].rsplit('/', 1)[1]]
    return node


def check_answer(document, template, status, headers, body):
    """template: the path as the document names it ("/machines/{id}"); headers: a dict with
    lower-case names; body: bytes. Raises AssertionError or jsonschema.ValidationError."""
    operation = document['paths'][template]['get']
    responses = operation['responses']
    if str(status) not in responses:
        raise AssertionError('%s answered %d, which its document does not list' % (template, status))
    response = _resolve(document, responses[str(status)])
    for name in response.get('headers', {}):
        if name.lower() not in headers:
            raise AssertionError('%s %d has no %s header' % (template, status, name))
    media = headers.get('content-type', '').split(';')[0].strip()
    content = response.get('content', {})
    if media not in content:
        raise AssertionError('%s %d is %r, not one of %s' % (template, status, media, list(content)))
    schema = content[media]['schema']
    value = json.loads(body) if media == 'application/json' else body.decode('utf-8', 'replace')
    # The schema with the document's components beside it, so that its references resolve.
    wrapper = {'$schema': DIALECT, 'components': document['components'], 'allOf': [schema]}
    jsonschema.Draft202012Validator(wrapper).validate(value)
    return value
