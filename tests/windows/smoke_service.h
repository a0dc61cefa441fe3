// A one-operation SOAP interface, compiled by the build machine's soapcpp2,
// so that the smoke program exercises gSOAP's Windows runtime together with
// generated serializers, as the library's own SOAP layer will.
//gsoap smk service name: Smoke
//gsoap smk service style: rpc
//gsoap smk service encoding: encoded
//gsoap smk service namespace: urn:pelox:smoke
//gsoap smk schema namespace: urn:pelox:smoke
//gsoap smk schema form: unqualified
int smk__echo(char* text, char** result);
